#include "kits/tally/TallyLog.h"

#include "kits/trellis/TRLUtilities.h"

namespace tally {

bool debugEnabled() { return TRLDebugEnabled(); }

}  // namespace tally
