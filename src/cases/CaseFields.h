// The name=value fields of one case or need, kept in one block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The fields behave as a name=value list: names compare ASCII-case-insensitively, the
// first match wins, a missing name reads as an empty value and setting an empty value
// removes the line. A big case list holds hundreds of thousands of these, so each keeps its
// lines and where they end in a single block of the heap, behind one pointer.
class CaseFields {
 public:
  CaseFields() = default;
  CaseFields(const CaseFields& other);
  CaseFields& operator=(const CaseFields& other);
  CaseFields(CaseFields&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  CaseFields& operator=(CaseFields&& other) noexcept;
  ~CaseFields();

  int Count() const { return static_cast<int>(Header().count); }
  // Line `index` as name "=" value; valid until the fields next change.
  std::string_view operator[](int index) const;

  // The value under `name`; empty when there is none.
  std::string Value(std::string_view name) const;
  void SetValue(std::string_view name, std::string_view value);
  // SetValue for a name that no line has yet, without looking for it.
  void SetNewValue(std::string_view name, std::string_view value);
  // Fills empty fields with `count` lines at once: they lie end to end in `text`, line i ending
  // at ends[i], each a name, "=" and a value that is not empty, no two with the same name.
  void AssignLines(std::size_t count, const std::uint32_t* ends, std::string_view text);
  // Makes room for `lines` more lines of `bytes` bytes in all, so filling the fields
  // allocates once.
  void Reserve(std::size_t lines, std::size_t bytes);

 private:
  // The block: this header, the end of every line in the text (lineRoom of them), then the
  // text (textRoom bytes), the lines one after another.
  struct Block {
    std::uint32_t count;
    std::uint32_t lineRoom;
    std::uint32_t used;
    std::uint32_t textRoom;
  };
  // The block's header; all zero while there is no block.
  const Block& Header() const {
    static constexpr Block None{0, 0, 0, 0};
    return block_ == nullptr ? None : *block_;
  }
  std::uint32_t* Ends() const { return reinterpret_cast<std::uint32_t*>(block_ + 1); }
  char* Text() const { return reinterpret_cast<char*>(Ends() + block_->lineRoom); }
  // Moves the lines into a block with room for `lines` lines of `bytes` bytes, at least.
  void Regrow(std::size_t lines, std::size_t bytes);
  // True when `lines` more lines of `bytes` more bytes fit without growing.
  bool Fits(std::size_t lines, std::size_t bytes) const {
    const Block& header = Header();
    return header.count + lines <= header.lineRoom && header.used + bytes <= header.textRoom;
  }
  // Makes room for `lines` more lines of `bytes` more bytes, growing by half again at least.
  void MakeRoom(std::size_t lines, std::size_t bytes);

  // Index of the first line whose part before its first "=" equals `name`, or -1.
  int IndexOfName(std::string_view name) const;
  void Replace(int index, std::string_view name, std::string_view value);
  void Erase(int index);
  bool Holds(std::string_view text) const;

  Block* block_ = nullptr;
};
