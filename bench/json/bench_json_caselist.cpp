// Reading and walking a function-server case list with cJSON, against nlohmann::json on the same text.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "NameValueList.h"
#include "cJSON.h"

// --- Heap accounting: every allocation of the program, so both libraries are measured alike. ---

namespace {

std::atomic<std::size_t> heapNow{0};
std::atomic<std::size_t> heapPeak{0};

void* Counted(void* block) {
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  const std::size_t now = heapNow.fetch_add(malloc_usable_size(block), std::memory_order_relaxed) +
                          malloc_usable_size(block);
  std::size_t peak = heapPeak.load(std::memory_order_relaxed);
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
  return block;
}

void Uncounted(void* block) {
  if (block != nullptr) {
    heapNow.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
    std::free(block);
  }
}

}  // namespace

void* operator new(std::size_t size) { return Counted(std::malloc(size)); }
void* operator new[](std::size_t size) { return Counted(std::malloc(size)); }
void operator delete(void* block) noexcept { Uncounted(block); }
void operator delete[](void* block) noexcept { Uncounted(block); }
void operator delete(void* block, std::size_t) noexcept { Uncounted(block); }
void operator delete[](void* block, std::size_t) noexcept { Uncounted(block); }

namespace {

// --- The answers, generated once per size by the repository's generator. ---

const std::string& CaseListText(int cases) {
  static std::map<int, std::string> texts;
  std::string& text = texts[cases];
  if (text.empty()) {
    const std::string command = "python3 " HOSP_SOURCE_DIR "/tools/gen_caselist.py " + std::to_string(cases);
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

// What the case list window keeps of one case.
struct CaseFields {
  NameValueList fields;
  std::vector<NameValueList> needs;
};

// --- The walk of the case list window, over each library. ---

void CopyMembers(cJSON* list, NameValueList& into) {
  for (int i = 0; i < list->Count(); ++i) {
    const std::string name = list->Items().KeyAt(i);
    into.SetValue(name, list->GetValue(name));
  }
}

std::size_t WalkWithcJSON(const std::string& text) {
  cJSON root;
  root.Parse(text);
  if (!root.GetValue("Error").empty() || !root.GetValue("NoCases").empty()) {
    return 0;
  }
  cJSON* cases = root.GetChild("CaseList");
  std::vector<CaseFields> walked;
  for (int i = 0; i < cases->Count(); ++i) {
    cJSON* one = cases->GetChild(cases->Items().KeyAt(i));
    CaseFields& item = walked.emplace_back();
    CopyMembers(one->GetChild("FieldList"), item.fields);
    cJSON* needs = one->GetChild("NeedsList");
    for (int n = 0; n < needs->Count(); ++n) {
      CopyMembers(needs->GetChild(needs->Items().KeyAt(n))->GetChild("FieldList"), item.needs.emplace_back());
    }
  }
  return walked.size();
}

void CopyMembers(const nlohmann::json& list, NameValueList& into) {
  for (const auto& [name, value] : list.items()) {
    into.SetValue(name, value.is_string() ? value.get<std::string>() : std::string());
  }
}

std::size_t WalkWithNlohmann(const std::string& text) {
  const nlohmann::json root = nlohmann::json::parse(text);
  if (!root.value("Error", "").empty() || !root.value("NoCases", "").empty()) {
    return 0;
  }
  std::vector<CaseFields> walked;
  for (const auto& [key, one] : root.at("CaseList").items()) {
    CaseFields& item = walked.emplace_back();
    CopyMembers(one.at("FieldList"), item.fields);
    for (const auto& [needKey, need] : one.at("NeedsList").items()) {
      CopyMembers(need.at("FieldList"), item.needs.emplace_back());
    }
  }
  return walked.size();
}

void BM_cJSON(benchmark::State& state) {
  const std::string& text = CaseListText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(WalkWithcJSON(text));
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

// Fixed iteration counts keep the 100,000-case runs short on a shared machine.
BENCHMARK(BM_cJSON)->Arg(1000)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nlohmann)->Arg(1000)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cJSON)->Arg(10000)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nlohmann)->Arg(10000)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cJSON)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nlohmann)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);

// Keeps the CPU time per run name, steadier than wall time on a shared machine ("BM_cJSON/10000/iterations:6" -> "BM_cJSON/10000").
class RecordingReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      std::string name = run.benchmark_name();
      name = name.substr(0, name.find("/iterations"));
      millis[name] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> millis;
};

struct HeapUse {
  std::size_t peak;  // the most held at once while reading, above what was held before
  std::size_t kept;  // what the document holds once read
};

template <class Read>
HeapUse MeasureHeap(Read read) {
  const std::size_t before = heapNow.load();
  heapPeak.store(before);
  auto document = read();
  HeapUse use{heapPeak.load() - before, heapNow.load() - before};
  benchmark::DoNotOptimize(document);
  return use;
}

void PrintSummary(const RecordingReporter& reporter) {
  std::printf("\n%8s %12s %12s %8s\n", "cases", "cJSON ms", "nlohmann ms", "ratio");
  for (const int cases : {1000, 10000, 100000}) {
    const double own = reporter.millis.at("BM_cJSON/" + std::to_string(cases));
    const double reference = reporter.millis.at("BM_nlohmann/" + std::to_string(cases));
    std::printf("%8d %12.2f %12.2f %8.2f\n", cases, own, reference, own / reference);
  }
  const double scaling = reporter.millis.at("BM_cJSON/100000") / reporter.millis.at("BM_cJSON/10000");
  std::printf("cJSON/nlohmann at 10,000 cases: %.2f (target <= 2)\n",
              reporter.millis.at("BM_cJSON/10000") / reporter.millis.at("BM_nlohmann/10000"));
  std::printf("cJSON 100,000 / 10,000 cases: %.2f (target <= 12)\n", scaling);

  const std::string& text = CaseListText(100000);
  const HeapUse own = MeasureHeap([&text] {
    auto root = std::make_unique<cJSON>();
    root->Parse(text);
    return root;
  });
  const HeapUse reference = MeasureHeap([&text] { return nlohmann::json::parse(text); });
  std::printf("100,000-case document (text %.1f MB): cJSON peak %.1f MB, held %.1f MB; "
              "nlohmann peak %.1f MB, held %.1f MB\n",
              text.size() / 1e6, own.peak / 1e6, own.kept / 1e6, reference.peak / 1e6, reference.kept / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (reporter.millis.size() == 6) {
    PrintSummary(reporter);
  }
  benchmark::Shutdown();
  return 0;
}
