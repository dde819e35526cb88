#include "server.h"

#include "connection.h"

namespace vorn::server {

Server::Server(ServerConfig cfg)
    : config(std::move(cfg)),
      files(locks, config.files),
      listener([this](platform::Socket socket) { talkToClient(*this, socket); }) {}

}  // namespace vorn::server
