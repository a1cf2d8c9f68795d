/* Compiles the library header as C and reports its layout as a C compiler
 * lays it out, so that the C++ side can check that both agree. */
#include "tmbio/tmbio.h"

#include "tests/tmbio/header_c_check.h"

void TmbioCLayout(TmbioLayout* out) {
  out->environment_size = sizeof(TMBEnvironment);
  out->catalogs = offsetof(TMBEnvironment, catalogs);
  out->catalog_count = offsetof(TMBEnvironment, catalog_count);
  out->view_library = offsetof(TMBEnvironment, view_library);
  out->environment_engine = offsetof(TMBEnvironment, engine);
  out->file_size = sizeof(TMBFile);
  out->file_server_cell = offsetof(TMBFile, server_cell);
  out->file_segments = offsetof(TMBFile, segments);
  out->sql_handle_size = sizeof(TMBSqlHandle);
  out->restriction_size = sizeof(TMBRestriction);
  out->restriction_text = offsetof(TMBRestriction, text);
  out->file_description_size = sizeof(TMBFileDescription);
  out->index_key_size = sizeof(TMBIndexKey);
  out->index_segment_size = sizeof(TMBIndexSegment);
  out->column_record_size = sizeof(TMBColumnRecord);
  out->column_blob1 = offsetof(TMBColumnRecord, blob1);
  out->table_record_size = sizeof(TMBTableRecord);
  out->table_extension = offsetof(TMBTableRecord, extension);
}

intptr_t TmbioCVersion(void) { return QDGetEnvMode(NULL, TMBIO_MODE_VERSION); }

uint64_t TmbioCOwnerRoundTrip(uint64_t socket) {
  static TMBEnvironment env;
  TMBSetEnvironmentOwner(&env, socket);
  return TMBEnvironmentOwner(&env);
}
