// May this user open the controller's node? The open itself is the test
// (access() would judge by the real user id); when it fails, what the node's
// owner, mode and access list say, and why udev gave no access.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doctor/access_choice.h"
#include "doctor/gather.h"

namespace {
// Where a udev rule of ours may be, the package's first.
constexpr const char* ruleFiles[] = {
    "/usr/lib/udev/rules.d/70-quivertap.rules",
    "/lib/udev/rules.d/70-quivertap.rules",
    "/etc/udev/rules.d/70-quivertap.rules",
    "/usr/local/lib/udev/rules.d/70-quivertap.rules",
};

// The kernel's POSIX access list as an extended attribute: a version, then
// entries of tag, permissions and id.
constexpr uint32_t aclVersion = 2;
constexpr uint16_t aclUserTag = 0x02;
struct AclEntry {
    uint16_t tag;
    uint16_t permissions;
    uint32_t id;
};

Known AclNamesUser(const char* node) {
    static uint8_t value[4096];
    const ssize_t n = getxattr(node, "system.posix_acl_access", value, sizeof(value));
    if (n < 0) {
        return errno == ENODATA || errno == ENOTSUP ? Known::no : Known::unknown;
    }
    uint32_t version = 0;
    if (n < static_cast<ssize_t>(sizeof(version))) {
        return Known::unknown;
    }
    memcpy(&version, value, sizeof(version));
    if (version != aclVersion) {
        return Known::unknown;
    }
    const uid_t user = geteuid();
    for (size_t at = sizeof(version); at + sizeof(AclEntry) <= static_cast<size_t>(n);
         at += sizeof(AclEntry)) {
        AclEntry entry{};
        memcpy(&entry, value + at, sizeof(entry));
        if (entry.tag == aclUserTag && entry.id == user) {
            return Known::yes;
        }
    }
    return Known::no;
}

void FindRule(AccessFacts* facts) {
    facts->ruleInstalled = Known::no;
    for (const char* file : ruleFiles) {
        if (::access(file, F_OK) == 0) {
            facts->ruleInstalled = Known::yes;
            CopyText(facts->ruleFile, sizeof(facts->ruleFile), file);
            return;
        }
    }
}

// udev's uaccess tag serves the active session of a local seat only.
Known AtActiveSeat() {
    if (sd_booted() <= 0) {
        return Known::unknown;
    }
    char* session = nullptr;
    if (sd_pid_get_session(0, &session) < 0) {
        return Known::no;
    }
    char* seat = nullptr;
    const bool seated = sd_session_get_seat(session, &seat) >= 0;
    const bool active = seated && sd_session_is_active(session) > 0;
    free(seat);
    free(session);
    return active ? Known::yes : Known::no;
}

void Names(AccessFacts* facts, const struct stat& node) {
    const passwd* user = getpwuid(geteuid());
    CopyText(facts->user, sizeof(facts->user), user != nullptr ? user->pw_name : "");
    if (facts->user[0] == '\0') {
        snprintf(facts->user, sizeof(facts->user), "uid %u", static_cast<unsigned>(geteuid()));
    }
    const passwd* owner = getpwuid(node.st_uid);
    const group* group = getgrgid(node.st_gid);
    if (owner != nullptr) {
        CopyText(facts->owner, sizeof(facts->owner), owner->pw_name);
    } else {
        snprintf(facts->owner, sizeof(facts->owner), "uid %u", static_cast<unsigned>(node.st_uid));
    }
    if (group != nullptr) {
        CopyText(facts->group, sizeof(facts->group), group->gr_name);
    } else {
        snprintf(facts->group, sizeof(facts->group), "gid %u", static_cast<unsigned>(node.st_gid));
    }
}

// Why the node would not open.
void Explain(AccessFacts* facts, int error) {
    facts->vanished = error == ENOENT || error == ENODEV || error == ENXIO;
    struct stat node {};
    if (facts->vanished || stat(facts->node, &node) != 0) {
        facts->vanished = true;
        return;
    }
    Names(facts, node);
    facts->mode = node.st_mode & 07777;
    facts->aclNamesUser = AclNamesUser(facts->node);
    FindRule(facts);
    facts->atActiveSeat = AtActiveSeat();
}
}  // namespace

// Only the controller's nodes are opened, in the library's order, and only
// until one opens.
void GatherAccess(KernelFacts* kernel, AccessFacts* facts) {
    int firstError = 0;
    for (int i = 0; i < kernel->nodeCount; ++i) {
        NodeFacts& node = kernel->nodes[i];
        if (node.product != remoteProduct) {
            continue;
        }
        const int fd = open(node.node, O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            close(fd);
            node.opens = Known::yes;
            break;
        }
        node.opens = Known::no;
        CopyText(node.openError, sizeof(node.openError), strerror(errno));
        firstError = firstError != 0 ? firstError : errno;
    }
    ChooseAccessNode(*kernel, facts);
    if (facts->checked && !facts->opened) {
        Explain(facts, firstError);
    }
}
