// libFuzzer target: any text must read, write and read again without harm, within the depth limit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cJSON.h"

namespace {

// Traps on a broken tree: children must match their kind and stay within the depth limit.
int CheckTree(const cJSON& node, int level) {
  if (level > cJSON::MaxDepth) {
    __builtin_trap();
  }
  for (int i = 0; i < node.Count(); ++i) {
    const cJSON* child = node.ChildAt(i);
    const int kind = node.KindAt(i);
    if (child != nullptr) {
      if (kind != (child->IsArray() ? JSON_ARRAY : JSON_OBJECT) || child->Parent() != &node) {
        __builtin_trap();
      }
      CheckTree(*child, level + 1);
    } else if (kind > JSON_NULL || kind < JSON_WORD) {
      __builtin_trap();
    }
  }
  return node.Count();
}

bool SameKey(std::string_view line, std::string_view key) {
  if (line.size() <= key.size() || line[key.size()] != '=') {
    return false;
  }
  for (std::size_t i = 0; i < key.size(); ++i) {
    const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (fold(line[i]) != fold(key[i])) {
      return false;
    }
  }
  return true;
}

// A lookup by the key of any line must find what a plain first-match scan finds.
void CheckLookups(const cJSON& node) {
  for (int i = 0; i < node.Count(); ++i) {
    const std::string line = node.Items().LineAt(i);
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
      continue;
    }
    const std::string key = line.substr(0, eq);
    int first = 0;
    while (!SameKey(node.Items().LineAt(first), key)) {
      ++first;
    }
    std::string expected = node.Items().LineAt(first).substr(key.size() + 1);
    expected = expected == "null" ? "" : expected;
    if (node.GetValue(key) != expected || node.KindOf(key) != node.KindAt(first)) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  cJSON root(text);
  CheckTree(root, 1);
  CheckLookups(root);
  for (int i = 0; i < root.Count(); ++i) {
    if (const cJSON* child = root.ChildAt(i)) {
      CheckLookups(*child);
    }
  }
  const std::string written = root.GetText();
  root.Parse(written);
  CheckTree(root, 1);
  root.RemoveMember(root.Items().KeyAt(0));
  root.SetValue("k", text.substr(0, 64));
  root.GetText();
  return 0;
}
