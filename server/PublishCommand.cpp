// `hospd publish`: puts a client build into a data folder's Clients folder, signed or not,
// so that no client ever reads a half-written build or signature.
#include "PublishCommand.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "BuildSignature.h"
#include "ClientFiles.h"

namespace fs = std::filesystem;

namespace {

struct Failure {
  std::string reason;
};

// The Clients folder of an existing data folder; made when the folder has none yet.
fs::path ClientsFolder(const std::string& data_dir) {
  std::error_code error;
  const fs::path folder = fs::canonical(data_dir, error);
  if (error || !fs::is_directory(folder)) throw Failure{"no data folder " + data_dir};
  fs::create_directories(folder / "Clients", error);
  if (error) throw Failure{"cannot make " + (folder / "Clients").string() + ": " + error.message()};
  return folder / "Clients";
}

void RemoveSignature(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw Failure{"cannot remove " + path.string() + ": " + std::strerror(errno)};
  }
}

void Replace(const fs::path& path, const std::string& bytes) {
  std::string error;
  if (!BuildSignature::WriteFileAtomically(path.string(), bytes, 0644, error)) throw Failure{error};
}

}  // namespace

CLI::App* PublishCommand::Register(CLI::App& app) {
  CLI::App* publish = app.add_subcommand(
      "publish",
      "Offer the client build BUILD for download: copy it into DIR/Clients as NAME, with its "
      "signature NAME.sig when a key is given (an old NAME.sig is removed when none is). Each "
      "file is replaced by a rename, the signature first.");
  publish->add_option("BUILD", build_, "The client build to publish.")->required();
  publish->add_option("--name", name_, "Its name in the Clients folder.")
      ->type_name("NAME")
      ->capture_default_str();
  publish->add_option("--key", key_, "Sign it with this Ed25519 private key (PEM), as made by "
                                     "hospctl keygen.")
      ->type_name("PRIVATE.pem");
  publish->add_option("--data", data_dir_, "The data folder the server serves.")
      ->type_name("DIR")
      ->required();
  return publish;
}

bool PublishCommand::ValidName(const std::string& name) {
  return name.find_first_of("/\\") == std::string::npos &&
         ClientFiles::MapName("Clients\\" + name).has_value();
}

// Everything that can fail before the folder changes is done first: the build is read and
// signed in memory, and exactly those bytes are published.
int PublishCommand::Run() {
  try {
    if (!ValidName(name_)) throw Failure{"\"" + name_ + "\" is no plain file name"};
    std::string bytes;
    if (!BuildSignature::ReadWholeFile(build_, bytes)) throw Failure{"cannot read " + build_};
    if (bytes.empty()) throw Failure{build_ + " is empty; a client takes no empty build"};
    std::string signature;
    if (!key_.empty()) {
      std::string error;
      signature = BuildSignature::Sign(key_, bytes, error);
      if (signature.empty()) throw Failure{error};
    }
    const fs::path clients = ClientsFolder(data_dir_);
    const fs::path target = clients / name_;
    const fs::path signature_path = clients / (name_ + ".sig");
    // The signature goes first: a client sees the new date only with the build, and then
    // finds the matching signature already in place.
    if (signature.empty()) {
      RemoveSignature(signature_path);
    } else {
      Replace(signature_path, signature);
    }
    Replace(target, bytes);
    std::cout << "Published " << target.string() << " (" << bytes.size() << " bytes), "
              << (signature.empty() ? "unsigned" : "signed: " + signature_path.string()) << "\n";
    return EXIT_SUCCESS;
  } catch (const Failure& failure) {
    std::cerr << "hospd publish: " << failure.reason << "\n";
    return EXIT_FAILURE;
  }
}
