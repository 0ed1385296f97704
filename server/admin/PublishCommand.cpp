// `hospd publish BUILD`: offers a client build in the data folder's Clients folder, signed or
// not, so that no client ever reads a half-written build or signature.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include <unistd.h>

#include "BuildSignature.h"
#include "FileDate.h"
#include "FileIO.h"
#include "admin/FolderOwner.h"
#include "admin/PublishCommand.h"
#include "service/ClientFiles.h"

namespace fs = std::filesystem;

namespace {

struct PublishOptions {
  std::string build;
  std::string name = "Pellomarquin.exe";
  std::string key;
  std::string data_dir;
};

// A name a client can ask for as "Clients\NAME": one plain file name.
bool ValidName(const std::string& name) {
  return name.find_first_of("/\\") == std::string::npos &&
         ClientFiles::MapName("Clients\\" + name).has_value();
}

// The Clients folder of an existing data folder; made when the folder has none yet.
fs::path ClientsFolder(const std::string& data_dir) {
  std::error_code error;
  const fs::path folder = fs::canonical(data_dir, error);
  if (error || !fs::is_directory(folder)) throw std::runtime_error("no data folder " + data_dir);
  fs::create_directories(folder / "Clients", error);
  if (error) {
    throw std::runtime_error("cannot make " + (folder / "Clients").string() + ": " +
                             error.message());
  }
  return folder / "Clients";
}

void RemoveSignature(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw std::runtime_error("cannot remove " + path.string() + ": " + std::strerror(errno));
  }
}

void Replace(const fs::path& path, const std::string& bytes) {
  FileWriteFailure failure;
  if (!WriteFileAtomically(path.string(), bytes, FileMode{0644, true}, failure)) {
    throw std::runtime_error(failure.text);
  }
}

// The build gets exactly the signed date before it takes its name, so that the server never
// announces another date for it than its statement names.
void ReplaceDated(const fs::path& path, const std::string& bytes, std::uint32_t date) {
  const fs::path part = path.parent_path() / ("." + path.filename().string() + ".publish");
  ::unlink(part.c_str());
  FileWriteFailure failure;
  if (!WriteNewFile(part.string(), bytes, FileMode{0644, true}, failure)) {
    throw std::runtime_error(failure.text);
  }
  if (!SetFilePackedDate(part.string(), date) || std::rename(part.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    ::unlink(part.c_str());
    throw std::runtime_error("cannot put " + path.string() + " in place: " + reason);
  }
}

// Everything that can fail before the folder changes is done first, as the calling user
// (who may be the only one to read the private key): the build is read and signed in
// memory, and exactly those bytes are published, as the folder's owner.
int Publish(const PublishOptions& options) {
  if (!ValidName(options.name)) {
    throw std::runtime_error("\"" + options.name + "\" is no plain file name");
  }
  std::string bytes;
  if (!ReadWholeFile(options.build, bytes)) {
    throw std::runtime_error("cannot read " + options.build);
  }
  if (bytes.empty()) throw std::runtime_error(options.build + " is empty; no client takes it");
  // The date the server will announce, packed as it announces it (local time, two seconds).
  const std::uint32_t date = PackDosDate(std::time(nullptr));
  if (date == 0) throw std::runtime_error("the clock is outside 1980-2107; no client takes it");
  std::string signature;
  if (!options.key.empty()) {
    std::string error;
    signature =
        BuildSignature::MakeStatement(options.key, bytes, static_cast<std::int32_t>(date), error);
    if (signature.empty()) throw std::runtime_error(error);
  }
  BecomeFolderOwner(options.data_dir);
  const fs::path clients = ClientsFolder(options.data_dir);
  const fs::path target = clients / options.name;
  const fs::path signature_path = clients / (options.name + ".sig");
  // The signature goes first: a client sees the new date only with the build, and then
  // finds the matching signature already in place.
  if (signature.empty()) {
    RemoveSignature(signature_path);
  } else {
    Replace(signature_path, signature);
  }
  ReplaceDated(target, bytes, date);
  std::cout << "Published " << target.string() << " (" << bytes.size() << " bytes), "
            << (signature.empty() ? "unsigned" : "signed: " + signature_path.string()) << "\n";
  return EXIT_SUCCESS;
}

}  // namespace

void AddPublishCommand(CLI::App& app, AdminAction& action) {
  const auto options = std::make_shared<PublishOptions>();
  auto* publish = app.add_subcommand(
      "publish",
      "Offer the client build BUILD for download: copy it into DIR/Clients as NAME, dated now, "
      "with its signed statement NAME.sig (its SHA-256, size and that date) when a key is "
      "given (an old NAME.sig is removed when none is). Each file is replaced by a rename, the "
      "signature first.");
  publish->add_option("BUILD", options->build, "The client build to publish.")
      ->type_name("")
      ->required();
  publish->add_option("--name", options->name, "Its name in the Clients folder.")
      ->type_name("NAME")
      ->capture_default_str();
  publish
      ->add_option("--key", options->key,
                   "Sign it with this Ed25519 private key (PEM), as made by hospctl keygen.")
      ->type_name("PRIVATE.pem");
  AddDataOption(*publish, options->data_dir);
  WhenChosen(*publish, action, [options] { return Publish(*options); });
}
