// Writes the function server's answers in the client's JSON dialect, so that the client's reader
// reads every value back as exactly the text the server holds.
#include "service/DialectWriter.h"

#include <array>
#include <cstdint>
#include <optional>

namespace {

// What the reader does to a value's written form W: it cuts the document into pieces at commas
// outside quotes, brackets and braces (a character after a lone backslash takes no part, but a
// comma still cuts there), trims each piece, strips matching enclosing quotes and halves every
// run of backslashes (n become n/2 rounded up). So W must leave that cutter where it found it,
// at every level of the document, and W's backslash runs may be 2m or 2m-1 for a run of m; the
// odd form makes the cutter skip the character after the run.

// The cutter's state inside a value: which quotes it is in, and how deep it is in brackets and
// braces it met outside quotes (counted up to kMaxDepth; deeper counts as cut).
constexpr int kOutside = 0, kInDouble = 1, kInSingle = 2;
constexpr int kMaxDepth = 3;
constexpr int kStates = 3 * 16;

constexpr int State(int quote, int brackets, int braces) {
  return quote * 16 + brackets * 4 + braces;
}

bool IsMark(char c) {
  return c == '"' || c == '\'' || c == ',' || c == '[' || c == ']' || c == '{' || c == '}';
}

// The cutter's state after the mark `c`; nothing when the value would be cut in two or would
// close a brace of the document around it. No arrays stand around a value, so a "]" at depth 0
// changes nothing at any level.
std::optional<int> Step(int state, char c, bool escaped) {
  const int quote = state / 16;
  const int brackets = state / 4 % 4;
  const int braces = state % 4;
  const bool at_top = brackets == 0 && braces == 0;
  if (escaped) {
    if (quote == kOutside && c == ',' && at_top) return std::nullopt;
    return state;
  }
  if (quote == kInDouble) return c == '"' ? State(kOutside, brackets, braces) : state;
  if (quote == kInSingle) return c == '\'' ? State(kOutside, brackets, braces) : state;
  switch (c) {
    case '"':
      return State(kInDouble, brackets, braces);
    case '\'':
      return State(kInSingle, brackets, braces);
    case ',':
      return at_top ? std::nullopt : std::optional<int>(state);
    case '[':
      return brackets < kMaxDepth ? std::optional<int>(State(kOutside, brackets + 1, braces))
                                  : std::nullopt;
    case ']':
      return State(kOutside, brackets > 0 ? brackets - 1 : 0, braces);
    case '{':
      return braces < kMaxDepth ? std::optional<int>(State(kOutside, brackets, braces + 1))
                                : std::nullopt;
    case '}':
      return braces > 0 ? std::optional<int>(State(kOutside, brackets, braces - 1)) : std::nullopt;
  }
  return state;
}

// How each mark is written: as itself, as itself after an odd backslash run (only after a
// backslash), or as "?".
enum Choice : std::uint8_t { kPlain, kEscaped, kReplaced };

// A character the cutter acts on, in written order: a mark of the value or an enclosing quote.
struct Event {
  char c;
  bool after_backslash;
  bool replaceable;  // the enclosing quotes are not
};

std::vector<Event> Events(std::string_view value, char quote) {
  std::vector<Event> events;
  if (quote != '\0') events.push_back({quote, false, false});
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (IsMark(value[i])) events.push_back({value[i], i > 0 && value[i - 1] == '\\', true});
  }
  // The closing quote may be skipped by the cutter: the reader strips it all the same.
  if (quote != '\0') events.push_back({quote, !value.empty() && value.back() == '\\', false});
  return events;
}

struct Plan {
  std::size_t cost = 0;         // marks written as "?"
  std::vector<Choice> choices;  // one per event; empty: every event plain
};

// The plan with the fewest "?" that takes the cutter from outside everything back to outside
// everything, by dynamic programming over the events (other characters change nothing). For a
// quoted form, writing every mark of the value as "?" always works.
Plan Cheapest(const std::vector<Event>& events) {
  constexpr std::size_t kNone = SIZE_MAX;
  constexpr int kStart = State(kOutside, 0, 0);
  std::array<std::size_t, kStates> cost;
  cost.fill(kNone);
  cost[kStart] = 0;
  // Per event and state reached: the state it came from (high six bits) and the choice.
  std::vector<std::array<std::uint8_t, kStates>> back;
  back.reserve(events.size());
  for (const Event& event : events) {
    std::array<std::size_t, kStates> next;
    next.fill(kNone);
    std::array<std::uint8_t, kStates> from{};
    const auto offer = [&](int s, std::optional<int> t, Choice choice, std::size_t c_cost) {
      if (!t || c_cost >= next[static_cast<std::size_t>(*t)]) return;
      next[static_cast<std::size_t>(*t)] = c_cost;
      from[static_cast<std::size_t>(*t)] = static_cast<std::uint8_t>(s << 2 | choice);
    };
    for (int s = 0; s < kStates; ++s) {
      const std::size_t here = cost[static_cast<std::size_t>(s)];
      if (here == kNone) continue;
      offer(s, Step(s, event.c, false), kPlain, here);
      if (event.after_backslash) offer(s, Step(s, event.c, true), kEscaped, here);
      if (event.replaceable) offer(s, s, kReplaced, here + 1);
    }
    cost = next;
    back.push_back(from);
  }
  Plan plan;
  plan.cost = cost[kStart];
  if (plan.cost == kNone) return plan;
  plan.choices.resize(back.size());
  int s = kStart;
  for (std::size_t k = back.size(); k-- > 0;) {
    const std::uint8_t step = back[k][static_cast<std::size_t>(s)];
    plan.choices[k] = static_cast<Choice>(step & 3);
    s = step >> 2;
  }
  return plan;
}

// The text the reader will hold: the value with the replaced marks as "?".
std::string Carried(std::string_view value, const Plan& plan, char quote) {
  std::string text(value);
  std::size_t event = quote != '\0' ? 1 : 0;
  for (char& c : text) {
    if (IsMark(c) && plan.choices[event++] == kReplaced) c = '?';
  }
  return text;
}

// A bare value is read back as written unless the reader trims it, strips enclosing quotes,
// takes it as an array, object or boolean.
bool BareReadsBack(std::string_view text) {
  const auto first = static_cast<unsigned char>(text.front());
  const auto last = static_cast<unsigned char>(text.back());
  if (first <= 32 || last <= 32 || text == "true" || text == "false") return false;
  const bool enclosed = (first == last && (first == '"' || first == '\'')) ||
                        (first == '[' && last == ']') || (first == '{' && last == '}');
  return !enclosed;
}

// Appends the written form: `quote` (none for bare), then the value with each backslash run
// doubled (one fewer before a character the cutter must skip) and replaced marks as "?".
void Emit(std::string& out, std::string_view value, const Plan& plan, char quote) {
  const auto choice_at = [&plan](std::size_t event) {
    return plan.choices.empty() ? kPlain : plan.choices[event];
  };
  std::size_t event = 0;
  if (quote != '\0') {
    out += quote;
    ++event;
  }
  std::size_t run = 0;
  for (const char c : value) {
    if (c == '\\') {
      ++run;
      continue;
    }
    const Choice choice = IsMark(c) ? choice_at(event++) : kPlain;
    if (run > 0) out.append(2 * run - (choice == kEscaped ? 1 : 0), '\\');
    run = 0;
    out += choice == kReplaced ? '?' : c;
  }
  const Choice closing = quote != '\0' ? choice_at(event) : kPlain;
  out.append(2 * run - (run > 0 && closing == kEscaped ? 1 : 0), '\\');
  if (quote != '\0') out += quote;
}

// Appends the written form of `value` and returns the number of characters sent as "?".
std::size_t AppendWritten(std::string& out, std::string_view value) {
  std::size_t replaced = 0;
  std::string fixed;
  if (value.find('\0') != std::string_view::npos || value == "null") {
    fixed = value;
    for (char& c : fixed) {
      if (c != '\0') continue;
      c = '?';
      ++replaced;
    }
    // The reader gives the text "null" back as no value at all.
    if (fixed == "null") {
      fixed[0] = '?';
      ++replaced;
    }
    value = fixed;
  }
  // Inside quotes of one kind, only a quote of that kind moves the cutter.
  if (value.find('"') == std::string_view::npos) {
    Emit(out, value, {}, '"');
    return replaced;
  }
  if (value.find('\'') == std::string_view::npos) {
    Emit(out, value, {}, '\'');
    return replaced;
  }
  Plan best = Cheapest(Events(value, '"'));
  char quote = '"';
  if (Plan single = Cheapest(Events(value, '\'')); single.cost < best.cost) {
    best = std::move(single);
    quote = '\'';
  }
  if (Plan bare = Cheapest(Events(value, '\0'));
      bare.cost < best.cost && BareReadsBack(Carried(value, bare, '\0'))) {
    best = std::move(bare);
    quote = '\0';
  }
  Emit(out, value, best, quote);
  return replaced + best.cost;
}

}  // namespace

std::string DialectWriter::Written(std::string_view value, std::size_t& replaced) {
  std::string out;
  replaced = AppendWritten(out, value);
  return out;
}

void DialectWriter::Open(std::string_view key) {
  if (!path_.empty()) {
    Separate();
    text_.append(key).append(1, ':');
  }
  text_ += '{';
  path_.emplace_back(key);
  has_member_.push_back(false);
}

void DialectWriter::Close() {
  text_ += '}';
  path_.pop_back();
  has_member_.pop_back();
}

void DialectWriter::Member(std::string_view key, std::string_view value) {
  Separate();
  text_.append(key).append(1, ':');
  if (const std::size_t replaced = AppendWritten(text_, value); replaced > 0) Note(key, replaced);
}

std::string DialectWriter::Take() {
  std::string text = std::move(text_);
  text_.clear();
  return text;
}

void DialectWriter::Separate() {
  if (has_member_.back()) text_ += ',';
  has_member_.back() = true;
}

void DialectWriter::Note(std::string_view key, std::size_t replaced) {
  std::string where;
  for (const std::string& part : path_) {
    if (part.empty()) continue;
    where.append(part).append(1, ' ');
  }
  where.append(key);
  notes_.push_back(where + ": " + std::to_string(replaced) +
                   (replaced == 1 ? " character" : " characters") + " sent as \"?\"");
}
