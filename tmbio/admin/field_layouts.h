// A definition's fields as tmbio::text lays them out, so that tmbadmin reads
// and writes their values by the rules every other tool uses.
#pragma once

#include <string>
#include <vector>

#include "tmbio/admin.h"
#include "tmbio/record_text.h"

namespace tmbadmin {

// The layouts of the fields of `def`, in its order, named "field NAME" for
// errors. False with *error ("field NAME: ...") for a type the codec does
// not know or a field it refuses in a record of def's fixed length.
bool FieldLayouts(const tmbio::FileDefinition& def, std::vector<tmbio::text::FieldLayout>* layouts,
                  std::string* error);

}  // namespace tmbadmin
