// The piece-by-piece JSON reader, the reference the one-pass reader is checked against.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cJSON.h"

// The way the reader worked before it read in one pass: each level cuts its own text into
// pieces again and stores them with cJSON::SetValue. It builds its trees through the model's
// public calls alone, so the one-pass reader never serves as its own reference.
namespace cJSONPieceReader {

// Reads `text` into a new root as the cJSON constructor does. The one-pass reader must give
// the same tree for every text.
std::unique_ptr<cJSON> ReadByPieces(std::string_view text);
// The pieces of an inner text: split at commas outside quotes, brackets and braces, each trimmed.
std::vector<std::string> SplitMembers(std::string_view text);
// Takes the key off the front of an object piece: up to the first delimiter
// outside quotes, which stays in `piece`. The key is returned trimmed, quotes kept.
std::string TakeKey(std::string& piece, std::string_view delimiters);

}  // namespace cJSONPieceReader
