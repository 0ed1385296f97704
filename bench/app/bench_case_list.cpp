// The case list's refresh: 10,000 cases read, walked, listed and measured, plus one paint of
// the visible list, against reading and walking the same answer alone; and a refresh of
// 100,000 cases against reading and walking them alone, in time and peak memory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QImage>
#include <QListWidget>

#include <benchmark/benchmark.h>

#include "AppFonts.h"
#include "CaseListReader.h"
#include "HospApplication.h"
#include "MessageBox.h"
#include "TForm1.h"
#include "cJSON.h"

namespace {

constexpr int kCases = 10000;
constexpr int kPeakCases = 100000;

// The function server's answer for `cases` cases, as tools/gen_caselist.py writes it.
std::string CaseListAnswer(int cases) {
  const std::string command =
      "python3 " HOSP_SOURCE_DIR "/tools/gen_caselist.py " + std::to_string(cases);
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string text;
  char buffer[65536];
  std::size_t n = 0;
  while (pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) text.append(buffer, n);
  return text;
}

const std::string& Answer() {
  static const std::string text = CaseListAnswer(kCases);
  return text;
}

// The application object and the case list window, made once for all benchmarks.
struct Client {
  Client() : app(argc, argv) {
    InstallFontSubstitutes();
    MessageBox::SetHandler(
        [](const std::string&, const std::string&, MessageButtons) { return MessageAnswer::Ok; });
    form.show();
  }
  int argc = 1;
  char name[16] = "bench_case_list";
  char* argv[2] = {name, nullptr};
  HospApplication app;
  TForm1 form;
};

Client& TheClient() {
  static Client client;
  return client;
}

// The refresh after the exchange: the answer read, walked and listed, every height measured.
void ListAnswer(TForm1& form, const std::string& text) {
  form.ClearCaseList();
  cJSON answer;
  answer.Parse(text);
  form.ShowCaseAnswer(answer);
  form.CasesListBox->doItemsLayout();
}

void PaintVisibleList(TForm1& form) {
  QWidget* viewport = form.CasesListBox->viewport();
  QImage image(viewport->size(), QImage::Format_RGB32);
  viewport->render(&image);
  benchmark::DoNotOptimize(image.constBits());
}

// The reference: the same text read and walked into case objects, nothing listed.
void BM_ReadAndWalk(benchmark::State& state) {
  const std::string& text = Answer();
  for (auto _ : state) {
    cJSON answer;
    answer.Parse(text);
    int cases = 0;
    WalkCaseList(
        answer,
        [&cases](std::unique_ptr<ListBoxObjectClass> item) {
          benchmark::DoNotOptimize(item.get());
          ++cases;
        },
        WalkedCases::Kept, WalkThreads::Two);
    if (cases != kCases) state.SkipWithError("the walk lost cases");
  }
}

void BM_Refresh(benchmark::State& state) {
  Client& client = TheClient();
  for (auto _ : state) ListAnswer(client.form, Answer());
  if (client.form.CasesListBox->count() != kCases) state.SkipWithError("the list lost cases");
}

void BM_RefreshAndPaint(benchmark::State& state) {
  Client& client = TheClient();
  for (auto _ : state) {
    ListAnswer(client.form, Answer());
    PaintVisibleList(client.form);
  }
}

void BM_PaintVisibleList(benchmark::State& state) {
  Client& client = TheClient();
  ListAnswer(client.form, Answer());
  for (auto _ : state) PaintVisibleList(client.form);
}

BENCHMARK(BM_ReadAndWalk)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Refresh)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RefreshAndPaint)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PaintVisibleList)->Unit(benchmark::kMillisecond)->UseRealTime();

// Prints the usual table and keeps each benchmark's time for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (!run.error_occurred) times_[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
  }

  void PrintRatio(const char* name, const char* reference) const {
    auto measured = times_.find(name);
    auto base = times_.find(reference);
    if (measured != times_.end() && base != times_.end() && base->second > 0) {
      std::printf("%s / %s time ratio: %.2f\n", name, reference, measured->second / base->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

// A value in kB from /proc/self/status ("VmHWM", "VmRSS").
long StatusKilobytes(const char* key) {
  std::unique_ptr<FILE, int (*)(FILE*)> status(std::fopen("/proc/self/status", "r"), std::fclose);
  char line[256];
  const std::string prefix = std::string(key) + ":";
  while (status && std::fgets(line, sizeof line, status.get()) != nullptr) {
    if (prefix.compare(0, prefix.size(), line, prefix.size()) == 0)
      return std::atol(line + prefix.size());
  }
  return -1;
}

double ProcessCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// What one measured run in a child process reports back.
struct ChildRun {
  double seconds = -1;
  double cpu_seconds = -1;  // the child's processor time over the same span: steadier when shared
  double peak_mib = 0;      // the child's peak resident memory
  double before_mib = 0;    // its resident memory with the answer text in memory, before reading
  int cases = 0;
};

// Runs `prepare`, then `measured` on `text` once, in a fresh child process, so that nothing else
// counts towards its time and peak memory; the child hands back its figures through a shared
// page.
template <class Prepare, class Measured>
ChildRun InChild(const std::string& text, Prepare prepare, Measured measured) {
  void* page =
      ::mmap(nullptr, sizeof(ChildRun), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return {};
  auto* shared = new (page) ChildRun();
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    prepare();
    shared->before_mib = static_cast<double>(StatusKilobytes("VmRSS")) / 1024.0;
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = ProcessCpuSeconds();
    shared->cases = measured(text);
    shared->seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    shared->cpu_seconds = ProcessCpuSeconds() - cpu_start;
    shared->peak_mib = static_cast<double>(StatusKilobytes("VmHWM")) / 1024.0;
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = 0;
  if (child > 0) ::waitpid(child, &status, 0);
  const ChildRun result = *shared;
  ::munmap(page, sizeof(ChildRun));
  return result;
}

// The median of some figure over runs, with the lowest and the highest.
struct Spread {
  double median = 0;
  double low = 0;
  double high = 0;
};

Spread SpreadOf(const std::vector<ChildRun>& runs, double ChildRun::*figure) {
  std::vector<double> values;
  for (const ChildRun& run : runs) values.push_back(run.*figure);
  std::sort(values.begin(), values.end());
  if (values.empty()) return {};
  return {values[values.size() / 2], values.front(), values.back()};
}

void PrintRuns(const char* what, const std::vector<ChildRun>& runs, const char* targets[2]) {
  const Spread seconds = SpreadOf(runs, &ChildRun::seconds);
  const Spread cpu = SpreadOf(runs, &ChildRun::cpu_seconds);
  const Spread peak = SpreadOf(runs, &ChildRun::peak_mib);
  std::printf(
      "%d cases %s: %.2f s (%.2f-%.2f%s), %.2f s CPU (%.2f-%.2f), peak resident memory %.1f MiB "
      "(%.1f-%.1f%s; %.1f MiB before reading)\n",
      runs.front().cases, what, seconds.median, seconds.low, seconds.high, targets[0], cpu.median,
      cpu.low, cpu.high, peak.median, peak.low, peak.high, targets[1], runs.front().before_mib);
}

// The refresh of 100,000 cases (read, walk, list, first paint) against reading and walking
// the same answer alone, each in a fresh process, taken in turns: medians and ranges of time and
// peak memory, and their ratios. A fresh process takes all its memory from the kernel, whose
// cost varies from run to run on a shared or virtual machine.
void ReportLargeRefresh() {
  constexpr int kRuns = 5;
  const std::string text = CaseListAnswer(kPeakCases);
  std::vector<ChildRun> alone;
  std::vector<ChildRun> refresh;
  for (int run = 0; run < kRuns; ++run) {
    alone.push_back(InChild(
        text, [] {},
        [](const std::string& answer_text) {
          cJSON answer;
          answer.Parse(answer_text);
          std::vector<std::unique_ptr<ListBoxObjectClass>> cases;
          WalkCaseList(
              answer,
              [&cases](std::unique_ptr<ListBoxObjectClass> item) {
                cases.push_back(std::move(item));
              },
              WalkedCases::Kept, WalkThreads::Two);
          return static_cast<int>(cases.size());
        }));
    refresh.push_back(InChild(
        text, [] { TheClient(); },
        [](const std::string& answer_text) {
          Client& client = TheClient();
          ListAnswer(client.form, answer_text);
          PaintVisibleList(client.form);
          return client.form.CasesListBox->count();
        }));
  }
  std::printf("In %d fresh processes each, median (lowest-highest):\n", kRuns);
  const char* no_targets[2] = {"", ""};
  const char* refresh_targets[2] = {"; target <= 0.35", "; target <= 200"};
  PrintRuns("read and walked alone", alone, no_targets);
  PrintRuns("refreshed (read, walk, list, first paint)", refresh, refresh_targets);
  const double alone_seconds = SpreadOf(alone, &ChildRun::seconds).median;
  const double alone_peak = SpreadOf(alone, &ChildRun::peak_mib).median;
  if (alone_seconds > 0 && alone_peak > 0) {
    std::printf("refresh / read and walk alone at %d cases: time %.2f, peak memory %.2f\n",
                kPeakCases, SpreadOf(refresh, &ChildRun::seconds).median / alone_seconds,
                SpreadOf(refresh, &ChildRun::peak_mib).median / alone_peak);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  benchmark::Initialize(&argc, argv);
  ReportLargeRefresh();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("BM_Refresh", "BM_ReadAndWalk");
  reporter.PrintRatio("BM_RefreshAndPaint", "BM_ReadAndWalk");
  benchmark::Shutdown();
  return 0;
}
