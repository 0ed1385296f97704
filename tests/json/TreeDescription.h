// A full one-line description of a cJSON tree: every node's kind and name, every line and tag.
#pragma once

#include <string>

#include "cJSON.h"

// Two trees with the same description are the same to every caller: the same nodes with the
// same names, the same lines in the same order, the same kinds, and every child below the
// node that holds it.
inline void DescribeTree(const cJSON& node, std::string& out) {
  out += node.IsArray() ? "[" : "{";
  out += node.Name();
  out += '|';
  for (int i = 0; i < node.Count(); ++i) {
    out += node.Items().LineAt(i);
    out += '/';
    out += std::to_string(node.KindAt(i));
    if (const cJSON* child = node.ChildAt(i)) {
      out += child->Parent() == &node ? "" : "!parent";
      DescribeTree(*child, out);
    }
    out += '\x1f';
  }
  out += node.IsArray() ? "]" : "}";
}

inline std::string DescribeTree(const cJSON& node) {
  std::string out;
  DescribeTree(node, out);
  return out;
}
