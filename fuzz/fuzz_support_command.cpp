// The support command's parser: any text, with no drive open, answers
// with a message and never makes a file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "diagnostics/Macro.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WString text;
  for (size_t i = 0; i + 1 < size && text.size() < 4096; i += 2) text.push_back(char16_t(data[i] | (data[i + 1] << 8)));
  CMacro macro;
  const int r = macro.RunCommand(text, nullptr);
  if (r != CMacro::kFailed || !macro.outputPath.empty() || macro.message.empty()) std::abort();
  return 0;
}
