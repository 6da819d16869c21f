#pragma once

#include <thread>

#include "common/c_handle.h"
#include "common/event_fd.h"
#include "common/unique_fd.h"
#include "vboard/sysfs.h"

struct fuse_session;
extern "C" void fuse_session_destroy(struct fuse_session* se);

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
  void loop(const std::stop_token& stop);

  HwTree& tree_;
  ftmd::CHandle<fuse_session, fuse_session_destroy> session_;
  ftmd::EventFd wake_;
  std::jthread thread_;
};

}  // namespace vboard
