// `hospd audit verify|head|export`: the audit trail of approvals, checked and read.
#include "admin/AuditCommands.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>

#include "admin/FolderOwner.h"
#include "audit/AuditKey.h"
#include "audit/AuditSigner.h"
#include "audit/AuditVerifier.h"
#include "store/StoreSettings.h"

namespace fs = std::filesystem;

namespace {

struct AuditOptions {
  std::string data_dir;
  std::string database;
  std::string audit_key;
  std::string head;
  std::string since;
  std::string format = "csv";
};

std::unique_ptr<HospitalStore> OpenAuditStore(const AuditOptions& options) {
  if (options.data_dir.empty() && options.database.empty()) {
    throw std::runtime_error("give --data DIR or --database URL");
  }
  if (!options.data_dir.empty()) BecomeFolderOwner(options.data_dir);
  const StoreSettings settings{options.data_dir, options.database, 1};
  if (options.database.empty() && !fs::exists(SqlitePath(settings))) {
    throw std::runtime_error(SqlitePath(settings).string() + " does not exist");
  }
  return OpenStore(settings);
}

AuditKey KeyOf(const AuditOptions& options) {
  if (!options.audit_key.empty()) return AuditKey::Load(options.audit_key);
  if (options.data_dir.empty()) {
    throw std::runtime_error("give --audit-key FILE, or --data DIR with the key in its audit.key");
  }
  return AuditKey::Load(fs::path(options.data_dir) / AuditKey::kFileName);
}

int Verify(const AuditOptions& options) {
  std::optional<AuditHead> head;
  if (!options.head.empty()) {
    head = ParseHead(options.head);
    if (!head) throw std::runtime_error("--head takes COUNT:MAC as hospd audit head prints it");
  }
  const AuditKey key = KeyOf(options);
  const auto store = OpenAuditStore(options);
  const AuditVerdict verdict = VerifyAuditTrail(AuditSigner(key, {}), store->AuditTrail(), head);
  if (!verdict.whole) {
    std::cerr << "hospd audit verify: " << verdict.problem << "\n";
    return EXIT_FAILURE;
  }
  std::cout << "audit trail whole: " << verdict.head.count << " records"
            << (head ? ", the head's included" : "") << "\nhead " << FormatHead(verdict.head)
            << "\n";
  if (const std::int64_t waiting = store->AuditBacklog(); waiting > 0) {
    std::cout << waiting << " approvals from before the trail wait for a server with the key\n";
  }
  return EXIT_SUCCESS;
}

int Head(const AuditOptions& options) {
  const std::vector<AuditRecord> records = OpenAuditStore(options)->AuditTrail();
  AuditHead head{static_cast<std::int64_t>(records.size()), {}};
  if (!records.empty()) head.mac = records.back().mac;
  std::cout << FormatHead(head) << "\n";
  return EXIT_SUCCESS;
}

// A CSV field, quoted when it holds a comma, a quote or a line end (RFC 4180).
std::string CsvField(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string quoted = "\"";
  for (const char c : value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// A JSON string; bytes from 0x80 on are taken as Latin-1, so the line is ASCII whatever the
// client's 8-bit texts were.
std::string JsonString(const std::string& value) {
  std::string out = "\"";
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

constexpr const char* kColumnNames[] = {"Seq",         "RecordedAt", "Event",         "CaseSeq",
                                        "ApprovalSeq", "Staff",      "ClientAddress", "Server",
                                        "PreviousMac", "Mac"};
constexpr bool kNumeric[] = {true, false, false, true, true, false, false, false, false, false};

int Export(const AuditOptions& options) {
  const bool csv = options.format == "csv";
  if (csv) {
    for (std::size_t i = 0; i < std::size(kColumnNames); ++i) {
      std::cout << (i == 0 ? "" : ",") << kColumnNames[i];
    }
    std::cout << "\n";
  }
  for (const AuditRecord& record : OpenAuditStore(options)->AuditTrail()) {
    if (record.recorded_at < options.since) continue;
    const std::vector<std::string> values = AuditValues(record);
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (csv) {
        std::cout << (i == 0 ? "" : ",") << CsvField(values[i]);
      } else {
        std::cout << (i == 0 ? "{" : ",") << '"' << kColumnNames[i]
                  << "\":" << (kNumeric[i] ? values[i] : JsonString(values[i]));
      }
    }
    std::cout << (csv ? "\n" : "}\n");
  }
  return EXIT_SUCCESS;
}

void AddStoreOptions(CLI::App& command, AuditOptions& options) {
  command.add_option("--data", options.data_dir, "The data folder DIR the server serves.")
      ->type_name("DIR");
  command
      .add_option("--database", options.database,
                  "The PostgreSQL database the server keeps its data in (as for hospd "
                  "--database) instead of hosp.db in the data folder.")
      ->type_name("URL");
}

}  // namespace

void AddAuditCommands(CLI::App& app, AdminAction& action) {
  auto* audit = app.add_subcommand(
      "audit",
      "Check and read the audit trail of approvals (a chain of records, each signed "
      "with the key in audit.key over the one before).");
  audit->require_subcommand(1);
  const auto options = std::make_shared<AuditOptions>();

  auto* verify = audit->add_subcommand(
      "verify",
      "Check every record's signature and link with the key. Exit status 0 when the trail is "
      "whole, 1 naming the first record changed, removed or inserted.");
  AddStoreOptions(*verify, *options);
  verify
      ->add_option("--audit-key", options->audit_key,
                   "The key file FILE (default: audit.key in the data folder).")
      ->type_name("FILE");
  verify
      ->add_option("--head", options->head,
                   "A head printed earlier by hospd audit head (COUNT:MAC): a trail shorter "
                   "than it, or another at its place, fails too, so a cut-off end is found.")
      ->type_name("TEXT");
  WhenChosen(*verify, action, [options] { return Verify(*options); });

  auto* head = audit->add_subcommand(
      "head",
      "Print the number of records and the last record's MAC as COUNT:MAC, to keep apart from "
      "the database and give to hospd audit verify --head later.");
  AddStoreOptions(*head, *options);
  WhenChosen(*head, action, [options] { return Head(*options); });

  auto* exported = audit->add_subcommand(
      "export", "Write the records with their MACs to standard output, one per line.");
  AddStoreOptions(*exported, *options);
  exported->add_option("--since", options->since, "Only records from DATE (YYYY-MM-DD, UTC) on.")
      ->type_name("DATE")
      ->check([](const std::string& date) {
        const bool shaped = date.size() >= 10 && date[4] == '-' && date[7] == '-';
        return shaped ? std::string() : std::string("--since takes a date YYYY-MM-DD");
      });
  exported->add_option("--format", options->format, "csv (with a header line) or jsonl.")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"csv", "jsonl"}))
      ->capture_default_str();
  WhenChosen(*exported, action, [options] { return Export(*options); });
}
