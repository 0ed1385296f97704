// Reading a function-server case list and walking it into the case list window's case objects,
// with cJSON against RapidJSON, simdjson and nlohmann::json in the same run; and cJSON's reading
// time per megabyte at three nesting depths.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <rapidjson/document.h>
#include <simdjson.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "CaseListReader.h"
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

// --- The walk of the case list window over each library, into the same case objects. ---

// cJSON: the window's own walk.
std::size_t WalkWithcJSON(const std::string& text) {
  cJSON root;
  root.Parse(text);
  if (!root.GetValue("Error").empty() || !root.GetValue("NoCases").empty()) {
    return 0;
  }
  CaseObjects cases;
  WalkCaseList(root, [&cases](std::unique_ptr<ListBoxObjectClass> item) {
    cases.push_back(std::move(item));
  });
  return cases.size();
}

template <class Members, class NameOf, class TextOf>
void CopyFields(const Members& members, CaseFields& into, NameOf nameOf, TextOf textOf) {
  for (const auto& member : members) {
    into.SetValue(nameOf(member), textOf(member));
  }
}

std::string_view RapidText(const rapidjson::Value& value) {
  return value.IsString() ? std::string_view(value.GetString(), value.GetStringLength())
                          : std::string_view{};
}

std::size_t WalkWithRapidJSON(const std::string& text) {
  rapidjson::Document root;
  root.Parse(text.data(), text.size());
  if (!root.IsObject()) {
    return 0;
  }
  const auto name = [](const auto& member) { return RapidText(member.name); };
  const auto value = [](const auto& member) { return RapidText(member.value); };
  CaseObjects cases;
  for (const auto& one : root["CaseList"].GetObject()) {
    auto& item =
        cases.emplace_back(std::make_unique<ListBoxObjectClass>(std::string(RapidText(one.name))));
    CopyFields(one.value["FieldList"].GetObject(), item->Fields, name, value);
    const auto needs = one.value.FindMember("NeedsList");
    if (needs == one.value.MemberEnd()) {
      continue;
    }
    for (const auto& need : needs->value.GetObject()) {
      CopyFields(need.value["FieldList"].GetObject(),
                 item->AddNeed(std::string(RapidText(need.name))).Fields, name, value);
    }
  }
  return cases.size();
}

// simdjson reads a padded copy of the text, made once; its parser is made and freed with each read.
std::size_t WalkWithSimdjson(const simdjson::padded_string& text) {
  simdjson::dom::parser parser;
  simdjson::dom::element root = parser.parse(text);
  const auto name = [](const simdjson::dom::key_value_pair& member) { return member.key; };
  const auto value = [](const simdjson::dom::key_value_pair& member) {
    std::string_view out;
    return member.value.get_string().get(out) == simdjson::SUCCESS ? out : std::string_view{};
  };
  CaseObjects cases;
  for (const auto one : root["CaseList"].get_object()) {
    auto& item = cases.emplace_back(std::make_unique<ListBoxObjectClass>(std::string(one.key)));
    CopyFields(one.value["FieldList"].get_object().value(), item->Fields, name, value);
    simdjson::dom::object needs;
    if (one.value["NeedsList"].get_object().get(needs) != simdjson::SUCCESS) {
      continue;
    }
    for (const auto need : needs) {
      CopyFields(need.value["FieldList"].get_object().value(),
                 item->AddNeed(std::string(need.key)).Fields, name, value);
    }
  }
  return cases.size();
}

std::size_t WalkWithNlohmann(const std::string& text) {
  const nlohmann::json root = nlohmann::json::parse(text);
  const auto name = [](const auto& member) { return member.key(); };
  const auto value = [](const auto& member) {
    return member.value().is_string() ? member.value().template get<std::string>() : std::string();
  };
  CaseObjects cases;
  for (const auto& one : root.at("CaseList").items()) {
    auto& item = cases.emplace_back(std::make_unique<ListBoxObjectClass>(one.key()));
    CopyFields(one.value().at("FieldList").items(), item->Fields, name, value);
    const auto needs = one.value().find("NeedsList");
    if (needs == one.value().end()) {
      continue;
    }
    for (const auto& need : needs->items()) {
      CopyFields(need.value().at("FieldList").items(), item->AddNeed(need.key()).Fields, name,
                 value);
    }
  }
  return cases.size();
}

void BM_cJSON(benchmark::State& state) {
  const std::string& text = CaseListText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(WalkWithcJSON(text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_RapidJSON(benchmark::State& state) {
  const std::string& text = CaseListText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(WalkWithRapidJSON(text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_simdjson(benchmark::State& state) {
  const simdjson::padded_string& text = PaddedText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(WalkWithSimdjson(text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_nlohmann(benchmark::State& state) {
  const std::string& text = CaseListText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(WalkWithNlohmann(text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
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

// Fixed iteration counts keep the 100,000-case runs short on a shared machine.
BENCHMARK(BM_cJSON)->Arg(1000)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJSON)->Arg(1000)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_simdjson)->Arg(1000)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nlohmann)->Arg(1000)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cJSON)->Arg(10000)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJSON)->Arg(10000)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_simdjson)->Arg(10000)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nlohmann)->Arg(10000)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cJSON)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJSON)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_simdjson)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nlohmann)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);
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

// Heap bytes in use, from the allocator itself: every library is counted alike, whether it
// allocates through operator new or malloc.
std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// What a read document holds on the heap, beyond what was in use before it was read.
template <class Read>
double HeldMegabytes(Read read) {
  malloc_trim(0);
  const std::size_t before = HeapInUse();
  auto document = read();
  const std::size_t after = HeapInUse();
  benchmark::DoNotOptimize(document);
  return static_cast<double>(after - before) / 1048576.0;
}

void PrintCaseListSummary(const RecordingReporter& reporter) {
  std::printf("\nRead + walk + free, CPU ms (ratio to RapidJSON):\n%8s %16s %10s %16s %16s\n",
              "cases", "cJSON", "RapidJSON", "simdjson", "nlohmann");
  for (const int cases : {1000, 10000, 100000}) {
    const std::string suffix = "/" + std::to_string(cases);
    const double reference = reporter.Millis("BM_RapidJSON" + suffix);
    const auto cell = [&](const char* name) {
      const double own = reporter.Millis(name + suffix);
      return std::to_string(own).substr(0, std::to_string(own).find('.') + 2) + " (" +
             std::to_string(own / reference).substr(0, 4) + ")";
    };
    std::printf("%8d %16s %10.1f %16s %16s\n", cases, cell("BM_cJSON").c_str(), reference,
                cell("BM_simdjson").c_str(), cell("BM_nlohmann").c_str());
  }
  for (const int cases : {10000, 100000}) {
    const std::string suffix = "/" + std::to_string(cases);
    std::printf("cJSON / RapidJSON at %d cases: %.2f (target <= 1.5)\n", cases,
                reporter.Millis("BM_cJSON" + suffix) / reporter.Millis("BM_RapidJSON" + suffix));
  }

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
      "100,000-case document (text %.1f MiB) held on the heap, MiB: cJSON %.1f, RapidJSON %.1f, "
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

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (reporter.Millis("BM_RapidJSON/100000") > 0 && reporter.Millis("BM_cJSON/100000") > 0) {
    PrintCaseListSummary(reporter);
  }
  if (reporter.megabytes.count("BM_cJSONNesting/120") != 0) {
    PrintNestingSummary(reporter);
  }
  benchmark::Shutdown();
  return 0;
}
