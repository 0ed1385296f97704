// What an entry list knows of the nodes it holds: the kind codes, and a child's kind and end.
#pragma once

#include <memory>

class cJSON;

// Kind codes: a scalar entry's tag is one of the first five; an entry that holds
// a child reports JSON_ARRAY or JSON_OBJECT.
constexpr int JSON_NULL = 0, JSON_BOOL = -1, JSON_NUMBER = -2, JSON_STRING = -3, JSON_WORD = -4,
              JSON_ARRAY = -5, JSON_OBJECT = -6;

// Destroys a child node. The node holds its entry list, so the list reaches its children only
// through this and IsArrayChild, both defined with the node (cJSON.cpp), and never includes the
// node's header.
struct cJSONChildDeleter {
  cJSONChildDeleter() = default;
  // A child made with std::make_unique or new is handed over as it is.
  cJSONChildDeleter(std::default_delete<cJSON> /*unused*/) {}  // NOLINT: implicit on purpose
  void operator()(cJSON* child) const;
};

// A child owned by the entry that holds it.
using cJSONChildPtr = std::unique_ptr<cJSON, cJSONChildDeleter>;

// True when `child` is an array, false for an object.
bool IsArrayChild(const cJSON& child);
