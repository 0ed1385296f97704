// The two stores a parameterised server suite runs against, with one hospd for each.
#include "StoreServers.h"

#include "PostgresServer.h"

std::string StoreName(const ::testing::TestParamInfo<StoreKind>& info) {
  return info.param == StoreKind::Sqlite ? "Sqlite" : "Postgres";
}

std::string NewDatabase(StoreKind kind) {
  return kind == StoreKind::Postgres ? PostgresServer::Shared().CreateDatabase() : std::string();
}

HospdProcess& StoreServers::Get(StoreKind kind) {
  auto& server = servers_[kind];
  if (!server)
    server = std::make_unique<HospdProcess>(std::vector<std::string>{}, NewDatabase(kind));
  return *server;
}

void StoreServers::StopAll() {
  for (auto& [kind, server] : servers_) {
    EXPECT_EQ(server->Stop(), 0) << server->LogText();
    if (!server->Database().empty()) PostgresServer::Shared().DropDatabase(server->Database());
  }
  servers_.clear();
}
