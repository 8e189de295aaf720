// Access units come straight from the network: finding our SEI message in one must stay inside
// its bytes whatever they are, and what it finds must be what a sender could have built.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "SeiNal.h"
#include "orsa/OrsaSEIRecord.h"

#include "FuzzQuiet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so reading one byte past it is caught.
  const std::vector<uint8_t> unit(data, data + size);
  const orsa::tool::sei::Found found = orsa::tool::sei::find(unit);
  (void)orsa::tool::sei::hasSlice(unit);
  if (found.status != orsa::tool::sei::Status::Found) {
    if (!found.payload.empty()) std::abort();
    return 0;
  }
  if (found.payload.data() < unit.data() ||
      found.payload.data() + found.payload.size() > unit.data() + unit.size())
    std::abort();
  // Found means a whole record: the engine takes it, and a sender rebuilding the message
  // from the unescaped words finds the same words again.
  const std::vector<uint8_t> raw = OrsaSEIRecord::unescape(found.payload);
  if (!OrsaSEIRecord::parse(found.payload) || raw.size() < OrsaSEIRecord::kSize ||
      raw.size() % 4 != 0)
    std::abort();
  std::vector<uint8_t> rebuilt = {0, 0, 0, 1};
  const std::vector<uint8_t> nal = orsa::tool::sei::buildNal(raw);
  rebuilt.insert(rebuilt.end(), nal.begin(), nal.end());
  const orsa::tool::sei::Found again = orsa::tool::sei::find(rebuilt);
  if (again.status != orsa::tool::sei::Status::Found ||
      OrsaSEIRecord::unescape(again.payload) != raw)
    std::abort();
  return 0;
}
