// hospctl's key commands: the publisher's key pair and the signature of a build.
#include <cstdint>
#include <iostream>
#include <string>

#include "BuildSignature.h"
#include "FileDate.h"
#include "FileIO.h"
#include "HospctlCommands.h"

namespace {

int KeyGen(const Arguments& args) {
  std::string error;
  if (!BuildSignature::MakeKeyPair(args[0], args[1], error)) throw Failure{error};
  std::cout << "Private key: " << args[0] << " (keep it secret)\nPublic key: " << args[1] << '\n';
  return 0;
}

// The statement names the build's own file date, which it must keep on the server (cp -p).
int Sign(const Arguments& args) {
  std::string bytes;
  if (!ReadWholeFile(args[1], bytes)) throw Failure{"cannot read " + args[1]};
  const std::int32_t date = GetFilePackedDate(args[1]);
  if (date <= 0) throw Failure{"the date of " + args[1] + " is outside 1980-2043"};
  std::string error;
  const std::string signature = BuildSignature::MakeStatement(args[0], bytes, date, error);
  if (signature.empty()) throw Failure{error};
  FileWriteFailure failure;
  if (!WriteFileAtomically(args[1] + ".sig", signature, FileMode{0644, true}, failure)) {
    throw Failure{failure.text};
  }
  std::cout << "Signature: " << args[1] << ".sig\n";
  return 0;
}

}  // namespace

const std::map<std::string, KeyCommand>& KeyCommands() {
  static const std::map<std::string, KeyCommand> commands = {{"keygen", KeyGen}, {"sign", Sign}};
  return commands;
}
