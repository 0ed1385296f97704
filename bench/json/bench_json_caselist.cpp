// Reading a function-server case list, walking it into the case list window's case objects and
// freeing it, with cJSON against RapidJSON, simdjson and nlohmann::json interleaved in one run;
// the memory each document holds; and cJSON's reading time per megabyte at three nesting depths.
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <simdjson.h>
#include <nlohmann/json.hpp>

#include "CaseObjects.h"
#include "cJSON.h"

namespace {

// --- The answers, generated once per size by the repository's generator. ---

const std::string& CaseListText(int cases) {
  static std::map<int, std::string> texts;
  std::string& text = texts[cases];
  if (text.empty()) {
    const std::string command =
        "python3 " HOSP_SOURCE_DIR "/tools/gen_caselist.py " + std::to_string(cases);
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
      throw std::runtime_error("cannot run " + command);
    }
    char block[65536];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, pipe.get())) > 0) {
      text.append(block, got);
    }
  }
  return text;
}

const simdjson::padded_string& PaddedText(int cases) {
  static std::map<int, simdjson::padded_string> texts;
  auto found = texts.find(cases);
  if (found == texts.end()) {
    found = texts.emplace(cases, simdjson::padded_string(CaseListText(cases))).first;
  }
  return found->second;
}

using CaseObjects = std::vector<std::unique_ptr<ListBoxObjectClass>>;

// --- The walk over each library, into the same case objects through the same operations. ---
//
// Every walk does what the client's own walk (WalkCaseList) does: per case one object under its
// key, its fields set by name into room reserved once, its needs taken by position into room
// reserved once. Where a "FieldList" shows no two names alike (ASCII case aside), each field
// goes in as a new one without a search (CaseFields::SetNewValue), in every library: cJSON knows
// it from its read (cJSONEntries::KeysUnique), the others check their members' names here. The
// client's walk copies such a field list in one piece where cJSON holds it packed
// (CaseFields::AssignLines), which no other library's storage allows; here cJSON too sets each
// field.

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// A field list as (name, value) views; a value that is not a string reads as empty.
using FieldViews = std::vector<std::pair<std::string_view, std::string_view>>;

// The fields set as the client's walk sets them: room reserved once, then SetNewValue when the
// names are unique (and hold no "=", which would make a line's name shorter), SetValue otherwise.
// `knownUnique`: the document has told already.
void FillFields(const FieldViews& fields, CaseFields& into, bool knownUnique = false) {
  std::size_t bytes = 0;
  bool unique = true;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    bytes += fields[i].first.size() + 1 + fields[i].second.size();
    unique = unique && (knownUnique || fields[i].first.find('=') == std::string_view::npos);
    for (std::size_t j = 0; unique && !knownUnique && j < i; ++j) {
      unique = !SameNameIgnoringCase(fields[i].first, fields[j].first);
    }
  }
  into.Reserve(fields.size(), bytes);
  const bool fresh = into.Count() == 0;
  for (const auto& [name, value] : fields) {
    if (unique && fresh) {
      into.SetNewValue(name, value);
    } else {
      into.SetValue(name, value);
    }
  }
}

// A member's child when it is an object, looked up once as the client's walk does.
const cJSON* cJSONObjectMember(const cJSON& node, std::string_view key) {
  const cJSONEntries& entries = node.Items();
  const cJSONEntries::Slot slot = entries.Find(key);
  return slot != cJSONEntries::NoSlot && entries.KindOf(slot) == JSON_OBJECT ? entries.ChildOf(slot)
                                                                             : nullptr;
}

// A field's value is the rest of its line after the name's "="; the text "null" reads as empty.
// The names of a list whose keys are unique hold no "=", so each line's first "=" ends its name.
void cJSONFields(const cJSON& list, CaseFields& into, FieldViews& views) {
  views.clear();
  const cJSONEntries& lines = list.Items();
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string_view line = lines.Line(lines.SlotAt(i));
    const std::size_t equals = line.find('=');
    std::string_view value =
        equals == std::string_view::npos ? std::string_view{} : line.substr(equals + 1);
    if (value == "null") value = {};
    views.emplace_back(line.substr(0, equals), value);
  }
  FillFields(views, into, lines.KeysUnique());
}

void WalkcJSON(const cJSON& root, CaseObjects& cases) {
  const cJSON* list = cJSONObjectMember(root, "CaseList");
  if (list == nullptr) return;
  FieldViews views;
  for (int i = 0; i < list->Count(); ++i) {
    if (list->KindAt(i) != JSON_OBJECT) continue;
    const cJSON& one = *list->ChildAt(i);
    auto& item = cases.emplace_back(std::make_unique<ListBoxObjectClass>(list->Items().KeyAt(i)));
    if (const cJSON* fields = cJSONObjectMember(one, "FieldList")) {
      cJSONFields(*fields, item->Fields, views);
    }
    const cJSON* needs = cJSONObjectMember(one, "NeedsList");
    if (needs == nullptr) continue;
    item->Needs.reserve(item->Needs.size() + static_cast<std::size_t>(needs->Count()));
    for (int k = 0; k < needs->Count(); ++k) {
      if (needs->KindAt(k) != JSON_OBJECT) continue;
      StringListObjectClass& added = item->AddNeed(needs->Items().KeyAt(k));
      if (const cJSON* fields = cJSONObjectMember(*needs->ChildAt(k), "FieldList")) {
        cJSONFields(*fields, added.Fields, views);
      }
    }
  }
}

std::string_view RapidText(const rapidjson::Value& value) {
  return value.IsString() ? std::string_view(value.GetString(), value.GetStringLength())
                          : std::string_view{};
}

void RapidFields(const rapidjson::Value& list, CaseFields& into, FieldViews& views) {
  views.clear();
  if (!list.IsObject()) return;
  for (const auto& member : list.GetObject()) {
    views.emplace_back(RapidText(member.name), RapidText(member.value));
  }
  FillFields(views, into);
}

const rapidjson::Value* RapidObjectMember(const rapidjson::Value& node, const char* name) {
  if (!node.IsObject()) return nullptr;
  const auto found = node.FindMember(name);
  return found != node.MemberEnd() && found->value.IsObject() ? &found->value : nullptr;
}

void WalkRapidJSON(const rapidjson::Document& root, CaseObjects& cases) {
  const rapidjson::Value* list = RapidObjectMember(root, "CaseList");
  if (list == nullptr) return;
  FieldViews views;
  for (const auto& one : list->GetObject()) {
    if (!one.value.IsObject()) continue;
    auto& item =
        cases.emplace_back(std::make_unique<ListBoxObjectClass>(std::string(RapidText(one.name))));
    if (const auto* fields = RapidObjectMember(one.value, "FieldList")) {
      RapidFields(*fields, item->Fields, views);
    }
    const rapidjson::Value* needs = RapidObjectMember(one.value, "NeedsList");
    if (needs == nullptr) continue;
    item->Needs.reserve(item->Needs.size() + needs->MemberCount());
    for (const auto& need : needs->GetObject()) {
      if (!need.value.IsObject()) continue;
      StringListObjectClass& added = item->AddNeed(std::string(RapidText(need.name)));
      if (const auto* fields = RapidObjectMember(need.value, "FieldList")) {
        RapidFields(*fields, added.Fields, views);
      }
    }
  }
}

void SimdFields(simdjson::dom::element list, CaseFields& into, FieldViews& views) {
  views.clear();
  simdjson::dom::object object;
  if (list.get_object().get(object) != simdjson::SUCCESS) return;
  for (const auto member : object) {
    std::string_view value;
    if (member.value.get_string().get(value) != simdjson::SUCCESS) value = {};
    views.emplace_back(member.key, value);
  }
  FillFields(views, into);
}

void WalkSimdjson(simdjson::dom::element root, CaseObjects& cases) {
  simdjson::dom::object list;
  if (root["CaseList"].get_object().get(list) != simdjson::SUCCESS) return;
  FieldViews views;
  for (const auto one : list) {
    simdjson::dom::object fields;
    if (one.value.get_object().get(fields) != simdjson::SUCCESS) continue;
    auto& item = cases.emplace_back(std::make_unique<ListBoxObjectClass>(std::string(one.key)));
    simdjson::dom::element fieldList;
    if (fields["FieldList"].get(fieldList) == simdjson::SUCCESS) {
      SimdFields(fieldList, item->Fields, views);
    }
    simdjson::dom::object needs;
    if (fields["NeedsList"].get_object().get(needs) != simdjson::SUCCESS) continue;
    item->Needs.reserve(item->Needs.size() + needs.size());
    for (const auto need : needs) {
      simdjson::dom::object needFields;
      if (need.value.get_object().get(needFields) != simdjson::SUCCESS) continue;
      StringListObjectClass& added = item->AddNeed(std::string(need.key));
      if (needFields["FieldList"].get(fieldList) == simdjson::SUCCESS) {
        SimdFields(fieldList, added.Fields, views);
      }
    }
  }
}

void NlohmannFields(const nlohmann::json& list, CaseFields& into, FieldViews& views) {
  views.clear();
  if (!list.is_object()) return;
  for (const auto& [name, value] : list.items()) {
    views.emplace_back(name, value.is_string()
                                 ? std::string_view(value.get_ref<const std::string&>())
                                 : std::string_view{});
  }
  FillFields(views, into);
}

void WalkNlohmann(const nlohmann::json& root, CaseObjects& cases) {
  const auto list = root.find("CaseList");
  if (list == root.end() || !list->is_object()) return;
  FieldViews views;
  for (const auto& [key, one] : list->items()) {
    if (!one.is_object()) continue;
    auto& item = cases.emplace_back(std::make_unique<ListBoxObjectClass>(key));
    if (const auto fields = one.find("FieldList"); fields != one.end()) {
      NlohmannFields(*fields, item->Fields, views);
    }
    const auto needs = one.find("NeedsList");
    if (needs == one.end() || !needs->is_object()) continue;
    item->Needs.reserve(item->Needs.size() + needs->size());
    for (const auto& [needKey, need] : needs->items()) {
      if (!need.is_object()) continue;
      StringListObjectClass& added = item->AddNeed(needKey);
      if (const auto fields = need.find("FieldList"); fields != need.end()) {
        NlohmannFields(*fields, added.Fields, views);
      }
    }
  }
}

// --- Read, walk and free timed apart, the libraries interleaved in one process. ---

double ThreadMillis() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Phases {
  double read = 0;
  double walk = 0;
  double free = 0;
  double Total() const { return read + walk + free; }
};

// Reads the text into a document with `read`, walks it into case objects with `walk` and frees
// the document, each step timed in CPU milliseconds; the case objects go afterwards, untimed.
template <class Read, class Walk>
Phases Measure(Read read, Walk walk, std::size_t expected) {
  Phases phases;
  CaseObjects cases;
  cases.reserve(expected);
  const double start = ThreadMillis();
  auto document = read();
  const double read_done = ThreadMillis();
  walk(*document, cases);
  const double walk_done = ThreadMillis();
  document.reset();
  const double free_done = ThreadMillis();
  if (cases.size() != expected) {
    std::fprintf(stderr, "a walk found %zu cases of %zu\n", cases.size(), expected);
    std::exit(1);
  }
  // The case objects go here, untimed, and the heap then merges the small blocks they leave
  // (which glibc does at the next large request): otherwise the next library's reading would
  // pay for this one's case objects.
  cases.clear();
  std::free(std::malloc(1 << 16));
  phases.read = read_done - start;
  phases.walk = walk_done - read_done;
  phases.free = free_done - walk_done;
  return phases;
}

// simdjson's parser owns its document: reading makes a parser, freeing drops it.
struct SimdDocument {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
};

constexpr const char* Libraries[] = {"cJSON", "RapidJSON", "simdjson", "nlohmann"};
constexpr int LibraryCount = 4;

Phases MeasureLibrary(int library, int cases) {
  const std::string& text = CaseListText(cases);
  const auto count = static_cast<std::size_t>(cases);
  switch (library) {
    case 0:
      return Measure(
          [&text] {
            auto root = std::make_unique<cJSON>();
            root->Parse(text);
            return root;
          },
          WalkcJSON, count);
    case 1:
      return Measure(
          [&text] {
            auto root = std::make_unique<rapidjson::Document>();
            root->Parse(text.data(), text.size());
            return root;
          },
          WalkRapidJSON, count);
    case 2:
      return Measure(
          [cases] {
            auto document = std::make_unique<SimdDocument>();
            document->root = document->parser.parse(PaddedText(cases));
            return document;
          },
          [](SimdDocument& document, CaseObjects& out) { WalkSimdjson(document.root, out); },
          count);
    default:
      return Measure(
          [&text] { return std::make_unique<nlohmann::json>(nlohmann::json::parse(text)); },
          WalkNlohmann, count);
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Each size: the libraries in turn, the order rotated each repetition, medians of each step.
void PrintFairWalk(int repetitionScale) {
  std::printf(
      "Case list read, walked into the case objects through the same operations, freed: CPU ms, "
      "median of interleaved repetitions (ratio to RapidJSON)\n");
  std::printf("%8s %-6s %16s %10s %16s %16s\n", "cases", "step", Libraries[0], Libraries[1],
              Libraries[2], Libraries[3]);
  for (const auto& [cases, repetitions] : {std::pair{1000, 31}, {10000, 15}, {100000, 7}}) {
    CaseListText(cases);
    PaddedText(cases);
    std::vector<Phases> runs[LibraryCount];
    for (int library = 0; library < LibraryCount; ++library) {
      MeasureLibrary(library, cases);  // warm-up: the heap and the caches as in later runs
    }
    const int count = std::max(3, repetitions * repetitionScale / 100) | 1;
    for (int repetition = 0; repetition < count; ++repetition) {
      for (int turn = 0; turn < LibraryCount; ++turn) {
        const int library = (turn + repetition) % LibraryCount;
        runs[library].push_back(MeasureLibrary(library, cases));
      }
    }
    const auto median = [&runs](int library, double (*step)(const Phases&)) {
      std::vector<double> values;
      for (const Phases& phases : runs[library]) values.push_back(step(phases));
      return Median(values);
    };
    const std::pair<const char*, double (*)(const Phases&)> steps[] = {
        {"read", [](const Phases& p) { return p.read; }},
        {"walk", [](const Phases& p) { return p.walk; }},
        {"free", [](const Phases& p) { return p.free; }},
        {"total", [](const Phases& p) { return p.Total(); }},
    };
    for (const auto& [step, of] : steps) {
      const double reference = median(1, of);
      char cells[LibraryCount][40];
      for (int library = 0; library < LibraryCount; ++library) {
        const double own = median(library, of);
        if (library == 1) {
          std::snprintf(cells[library], sizeof cells[library], "%.2f", own);
        } else if (reference >= 0.5) {
          std::snprintf(cells[library], sizeof cells[library], "%.2f (%.2f)", own, own / reference);
        } else {
          std::snprintf(cells[library], sizeof cells[library], "%.2f (-)", own);  // no ratio to ~0
        }
      }
      std::printf("%8d %-6s %16s %10s %16s %16s\n", cases, step, cells[0], cells[1], cells[2],
                  cells[3]);
    }
    if (cases >= 10000) {
      std::printf("%8s cJSON / RapidJSON: read %.2f, total %.2f (targets <= 1.3), %d repetitions\n",
                  "", median(0, steps[0].second) / median(1, steps[0].second),
                  median(0, steps[3].second) / median(1, steps[3].second), count);
    }
    std::fflush(stdout);
  }
}

// --- Nesting: about 4 MB of objects nested `depth` levels deep, with a comma inside every level.
// ---

std::string NestedText(int depth) {
  // One chain: {"a":"some text","b":{"a":"some text","b":...,"c":"x"},"c":"x"}
  std::string chain;
  for (int level = 0; level < depth; ++level) {
    chain += "{\"a\":\"some text\",\"b\":";
  }
  chain += "\"end\"";
  for (int level = 0; level < depth; ++level) {
    chain += ",\"c\":\"x\"}";
  }
  std::string text = "[";
  while (text.size() < 4000000) {
    text += chain;
    text += ',';
  }
  text.back() = ']';
  return text;
}

void BM_cJSONNesting(benchmark::State& state) {
  const std::string text = NestedText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    cJSON root(text);
    benchmark::DoNotOptimize(root.Count());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
}

BENCHMARK(BM_cJSONNesting)->Arg(1)->Arg(16)->Arg(120)->Iterations(5)->Unit(benchmark::kMillisecond);

// Keeps the CPU time per run name, steadier than wall time on a shared machine
// ("BM_cJSON/10000/iterations:6" -> "BM_cJSON/10000").
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      std::string name = run.benchmark_name();
      name = name.substr(0, name.find("/iterations"));
      millis[name] = run.GetAdjustedCPUTime();
      if (const auto size = run.counters.find("MB"); size != run.counters.end()) {
        megabytes[name] = size->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Millis(const std::string& name) const {
    const auto found = millis.find(name);
    return found == millis.end() ? 0.0 : found->second;
  }
  std::map<std::string, double> millis;
  std::map<std::string, double> megabytes;  // the text's size, for rows that read one text
};

// Resident bytes of the process: counts every library alike, whether its memory comes from
// malloc, operator new or a mapping of its own.
std::size_t ResidentBytes() {
  std::unique_ptr<FILE, int (*)(FILE*)> statm(std::fopen("/proc/self/statm", "r"), std::fclose);
  unsigned long size = 0;
  unsigned long resident = 0;
  if (!statm || std::fscanf(statm.get(), "%lu %lu", &size, &resident) != 2) return 0;
  return static_cast<std::size_t>(resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// What a read document holds, beyond what was resident before it was read. The heap hands its
// free memory back before and after: before, so that the reading reuses none of it unseen;
// after, so that what the reading used and freed again does not count.
template <class Read>
double HeldMegabytes(Read read) {
  malloc_trim(0);
  const std::size_t before = ResidentBytes();
  auto document = read();
  malloc_trim(0);
  const std::size_t after = ResidentBytes();
  benchmark::DoNotOptimize(document);
  return static_cast<double>(after - before) / 1048576.0;
}

// What each library's 100,000-case document holds.
void PrintMemorySummary() {
  const std::string& text = CaseListText(100000);
  const double own = HeldMegabytes([&text] {
    auto root = std::make_unique<cJSON>();
    root->Parse(text);
    return root;
  });
  const double rapid = HeldMegabytes([&text] {
    auto root = std::make_unique<rapidjson::Document>();
    root->Parse(text.data(), text.size());
    return root;
  });
  const double simd = HeldMegabytes([] {
    auto parser = std::make_unique<simdjson::dom::parser>();
    benchmark::DoNotOptimize(parser->parse(PaddedText(100000)).is_object());
    return parser;
  });
  const double nlohmann = HeldMegabytes([&text] { return nlohmann::json::parse(text); });
  std::printf(
      "100,000-case document (text %.1f MiB) resident, MiB: cJSON %.1f, RapidJSON %.1f, "
      "simdjson %.1f, nlohmann %.1f\n",
      static_cast<double>(text.size()) / 1048576.0, own, rapid, simd, nlohmann);
  std::printf("cJSON / RapidJSON memory: %.2f (target <= 1.5)\n", own / rapid);
}

void PrintNestingSummary(const RecordingReporter& reporter) {
  const double flat = reporter.Millis("BM_cJSONNesting/1");
  if (flat <= 0) {
    return;
  }
  std::printf("\ncJSON reading by nesting depth (commas inside every level), CPU ms per MB:\n");
  const double flatPerMegabyte = flat / reporter.megabytes.at("BM_cJSONNesting/1");
  for (const int depth : {1, 16, 120}) {
    const std::string name = "BM_cJSONNesting/" + std::to_string(depth);
    const double perMegabyte = reporter.Millis(name) / reporter.megabytes.at(name);
    std::printf("  depth %3d: %7.2f ms/MB, %.2f x depth 1%s\n", depth, perMegabyte,
                perMegabyte / flatPerMegabyte, depth == 120 ? " (target <= 2)" : "");
  }
}

}  // namespace

// "--repetitions=P" runs P percent of the usual repetitions of the case list table;
// "--no-cases" leaves it out. Google Benchmark's flags select the nesting runs.
int main(int argc, char** argv) {
  int repetitionScale = 100;
  bool cases = true;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.rfind("--repetitions=", 0) == 0) {
      repetitionScale = std::atoi(argv[i] + 14);
    } else if (arg == "--no-cases") {
      cases = false;
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  // The libraries are compared on one thread each, as their own readers and walks run: the
  // client's big answers read and walked on two threads are measured by bench_case_list.
  cJSON::SetSplitReadMinimum(SIZE_MAX);
  if (cases) {
    PrintFairWalk(repetitionScale);
    PrintMemorySummary();
  }
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (reporter.megabytes.count("BM_cJSONNesting/120") != 0) {
    PrintNestingSummary(reporter);
  }
  benchmark::Shutdown();
  return 0;
}
