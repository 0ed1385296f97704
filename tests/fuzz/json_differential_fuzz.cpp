// libFuzzer target: the one-pass reader and the piece-by-piece reader give the same tree and
// the same written text for any input.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "TreeDescription.h"
#include "cJSON.h"
#include "cJSONPieceReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::unique_ptr<cJSON> byPieces = cJSONPieceReader::ReadByPieces(text);
  cJSON onePass;
  onePass.SetValue("left", "over");
  onePass.Parse(text);
  if (DescribeTree(onePass) != DescribeTree(*byPieces) ||
      onePass.GetText() != byPieces->GetText()) {
    __builtin_trap();
  }
  return 0;
}
