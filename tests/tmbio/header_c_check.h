/* The C translation unit's view of the library header (header_c_check.c). */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TmbioLayout {
  size_t environment_size;
  size_t catalogs;
  size_t catalog_count;
  size_t view_library;
  size_t environment_engine;
  size_t file_size;
  size_t file_server_cell;
  size_t file_segments;
  size_t sql_handle_size;
  size_t restriction_size;
  size_t restriction_text;
  size_t file_description_size;
  size_t index_key_size;
  size_t index_segment_size;
  size_t column_record_size;
  size_t column_blob1;
  size_t table_record_size;
  size_t table_extension;
} TmbioLayout;

/* Fills `out` with sizes and offsets as compiled in C. */
void TmbioCLayout(TmbioLayout* out);
/* QDGetEnvMode(NULL, TMBIO_MODE_VERSION), called from C. */
intptr_t TmbioCVersion(void);
/* Stores `socket` as an environment's owner from C and reads it back. */
uint64_t TmbioCOwnerRoundTrip(uint64_t socket);

#ifdef __cplusplus
}
#endif
