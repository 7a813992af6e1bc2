// The machine file loader (JSON).
#include "state.h"

namespace winsim {

Machine parseMachineJson(const std::string& json, const std::string& sourceName) {
  (void)json;
  throw MachineFileError(sourceName + ": machine files are not supported yet");
}

Machine loadMachineFile(const std::string& path) { return parseMachineJson("", path); }

}  // namespace winsim
