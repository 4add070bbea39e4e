// Rule families (pending: unmatched types are classified until they land).
#include "core/reckoner/frame.h"

namespace tw::reckon {

void add_azure_families(FamilyTable &) {}

}  // namespace tw::reckon
