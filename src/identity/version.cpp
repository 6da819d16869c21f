// Version and hardware identity: three read-only queries that keep no state,
// write nothing, log nothing and ignore their arguments.
#include <string>
#include <string_view>

#include "core/file_text.h"
#include "identity/identity.h"
#include "identity/identity_constants.h"
#include "identity/identity_text.h"

namespace ftmd {

using namespace identity;

std::optional<std::string> read_hardware_id() { return read_first_line(kSocUidPath, kSocUidMaxLine); }

void ftmver_query(char*, ReplyBuffer& reply) { reply.printf("OK,ftmver=%s\n", kFtmVersion); }

void swver_query(char*, ReplyBuffer& reply) {
  auto head = read_head(kOsReleasePath, kOsReleaseReadBytes);
  auto version = head ? os_release_version(*head) : std::nullopt;
  if (!version) {
    reply.set("ERROR");
    return;
  }
  reply.set("OK,swver=");
  reply.append(*version);
  reply.append("\n");
}

void hwid_query(char*, ReplyBuffer& reply) {
  // The id is passed on exactly as read, its line feed included; a read that
  // fails after the open counts as an empty line.
  auto id = read_hardware_id();
  if (!id) {
    reply.set("ERROR");
    return;
  }
  reply.set("OK,");
  reply.append(*id);
}

}  // namespace ftmd
