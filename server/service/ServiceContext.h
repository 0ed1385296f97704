// What every connection of one server shares: the data folder, the database and limits.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

#include "login/LoginThrottle.h"
#include "login/Sessions.h"
#include "service/ClientFiles.h"
#include "store/HospitalStore.h"

struct ServiceContext {
  ServiceContext(std::filesystem::path folder, std::unique_ptr<HospitalStore> hospital_store,
                 std::chrono::steady_clock::duration idle)
      : data_dir(std::move(folder)),
        store(std::move(hospital_store)),
        files(data_dir),
        idle_limit(idle) {}

  std::filesystem::path data_dir;        // absolute
  std::unique_ptr<HospitalStore> store;  // never null
  ClientFiles files;
  std::chrono::steady_clock::duration idle_limit;
  // --server-login: "Personnel" queries must carry the password, which the server checks.
  bool server_login = false;
  std::unique_ptr<LoginThrottle> throttle;  // set when server_login is
  // --require-login: a right login opens a session, and every other request must name one.
  std::unique_ptr<Sessions> sessions;
};

// Requests and JSON texts larger than this close the connection.
constexpr int kMaxRequestBytes = 1 << 20;
// Until the program's handshake is accepted, a data frame may be no larger than this: the
// handshake itself is a few dozen bytes, and a stranger gets no room to park memory in.
constexpr int kMaxRequestBytesBeforeHandshake = 4096;
