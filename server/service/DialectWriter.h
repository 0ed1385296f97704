// Writes the function server's answers in the client's JSON dialect, so that the client's reader
// reads every value back as exactly the text the server holds.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The client's reader decodes no escapes but a doubled backslash and keeps a backslash before a
// quote, so the general JSON writer's escaping would reach the physician as extra backslashes.
// This writer picks, per value, a form the reader takes back unchanged instead. Keys are written
// bare: they must be names or numbers of ours (field names, sequences).
class DialectWriter {
 public:
  // Opens the document (no key) or an object member under `key`.
  void Open(std::string_view key = {});
  void Close();
  // A member whose value is a string; the client reads it back as `value`, except for
  // characters the dialect cannot carry in it (see Written), which arrive as "?".
  void Member(std::string_view key, std::string_view value);

  // The text once every object is closed; the writer is left empty.
  std::string Take();
  // One line per member whose value had characters sent as "?": where it stands and how many.
  const std::vector<std::string>& Notes() const { return notes_; }

  // The written form of `value`: double-quoted, single-quoted or bare, with backslashes
  // doubled where the reader would otherwise lose or keep them wrongly. A value with both kinds
  // of quote may have no exact form: then the fewest quotes, commas, brackets or braces are
  // replaced by "?". A NUL byte, which would end the answer, and the one value the reader
  // turns into nothing, "null", also lose a character that way. `replaced` gets the count.
  static std::string Written(std::string_view value, std::size_t& replaced);

 private:
  void Separate();
  void Note(std::string_view key, std::size_t replaced);

  std::string text_;
  std::vector<std::string> path_;  // keys of the open objects, for the notes
  std::vector<bool> has_member_;   // per open object: a comma goes before the next member
  std::vector<std::string> notes_;
};
