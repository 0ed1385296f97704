// libFuzzer target: the one-pass reader and the piece-by-piece reader give the same tree and
// the same written text for any input. Inputs of odd length are read on two threads.
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
  cJSON::SetSplitReadMinimum(SIZE_MAX);
  const std::unique_ptr<cJSON> byPieces = cJSONPieceReader::ReadByPieces(text);
  cJSON::SetSplitReadMinimum(size % 2 == 1 ? 0 : SIZE_MAX);
  cJSON onePass;
  onePass.SetValue("left", "over");
  onePass.Parse(text);
  if (DescribeTree(onePass) != DescribeTree(*byPieces) ||
      onePass.GetText() != byPieces->GetText()) {
    __builtin_trap();
  }
  return 0;
}
