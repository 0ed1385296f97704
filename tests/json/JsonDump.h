// Test helpers: a one-line dump of a cJSON tree with every line and kind, and a tree invariant
// check.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "cJSON.h"

// Each entry as its stored line, "/" and a kind letter (0 null, b bool, n number,
// s string, w word); a child follows its line in brackets or braces.
inline std::string Dump(const cJSON& node) {
  std::string out = node.IsArray() ? "[" : "{";
  for (int i = 0; i < node.Count(); ++i) {
    if (i > 0) {
      out += ' ';
    }
    out += node.Items().LineAt(i);
    if (const cJSON* child = node.ChildAt(i)) {
      out += Dump(*child);
      continue;
    }
    switch (node.KindAt(i)) {
      case JSON_NULL:
        out += "/0";
        break;
      case JSON_BOOL:
        out += "/b";
        break;
      case JSON_NUMBER:
        out += "/n";
        break;
      case JSON_STRING:
        out += "/s";
        break;
      case JSON_WORD:
        out += "/w";
        break;
      default:
        out += "/?";
        break;
    }
  }
  return out + (node.IsArray() ? "]" : "}");
}

// Checks what must hold for any tree, whatever text it was read from; returns its depth in levels.
inline int CheckTree(const cJSON& node) {
  int deepest = 0;
  for (int i = 0; i < node.Count(); ++i) {
    const int kind = node.KindAt(i);
    if (const cJSON* child = node.ChildAt(i)) {
      EXPECT_EQ(kind, child->IsArray() ? JSON_ARRAY : JSON_OBJECT);
      EXPECT_EQ(child->Parent(), &node);
      deepest = std::max(deepest, CheckTree(*child));
    } else {
      EXPECT_TRUE(kind <= JSON_NULL && kind >= JSON_WORD) << kind;
    }
    if (!node.IsArray()) {
      EXPECT_NE(node.Items().LineAt(i).find('='), std::string::npos) << node.Items().LineAt(i);
    }
  }
  return deepest + 1;
}
