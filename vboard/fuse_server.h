#pragma once

#include <thread>

#include "common/unique_fd.h"
#include "vboard/sysfs.h"

struct fuse_session;

namespace vboard {

// Serves an HwTree over a /dev/fuse descriptor that the board mounted, on its
// own thread, until stop() or until the mount goes away with the board.
class FuseServer {
 public:
  FuseServer(HwTree& tree, ftmd::UniqueFd fuse_fd);
  FuseServer(const FuseServer&) = delete;
  FuseServer& operator=(const FuseServer&) = delete;
  ~FuseServer();

  void stop();

 private:
  void loop(std::stop_token stop);

  HwTree& tree_;
  fuse_session* session_ = nullptr;
  ftmd::UniqueFd wake_;
  std::jthread thread_;
};

}  // namespace vboard
