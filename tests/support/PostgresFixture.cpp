// postgres_fixture start|stop RECORD: the one PostgreSQL server that a ctest run shares among
// its test programs (each makes its own databases on it), recorded in the file RECORD.
#include <cstdio>
#include <cstring>
#include <exception>

#include "PostgresServer.h"

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "start") != 0 && std::strcmp(argv[1], "stop") != 0)) {
    std::fprintf(stderr, "usage: postgres_fixture start|stop RECORD\n");
    return 2;
  }
  const std::string record = argv[2];
  PostgresServer::StopRecorded(record);  // a server left by an interrupted run
  if (std::strcmp(argv[1], "stop") == 0) return 0;
  try {
    PostgresServer server;
    server.KeepAs(record);
    std::printf("PostgreSQL for the tests on 127.0.0.1:%d\n", server.Port());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "postgres_fixture: %s\n", error.what());
    return 1;
  }
}
