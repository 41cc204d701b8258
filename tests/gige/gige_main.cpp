// The network tests run in a network namespace of their own when the system allows one (as
// root, or through a user namespace): its loopback interface is theirs, with a second address
// for a second camera, and a camera served here never meets one served elsewhere.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <arv.h>
#include <gtest/gtest.h>

namespace {

bool WriteProc(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool SetAddress(int s, const char* name, const char* address, unsigned long request) {
    ifreq request_{};
    std::strncpy(request_.ifr_name, name, IFNAMSIZ - 1);
    auto* in = reinterpret_cast<sockaddr_in*>(&request_.ifr_addr);
    in->sin_family = AF_INET;
    inet_pton(AF_INET, address, &in->sin_addr);
    return ioctl(s, request, &request_) == 0;
}

bool IsolateNetwork() {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWNET) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return false;
        WriteProc("/proc/self/setgroups", "deny");
        if (!WriteProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    }
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq up{};
    std::strncpy(up.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &up) == 0;
    up.ifr_flags = static_cast<short>(up.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ok && ioctl(s, SIOCSIFFLAGS, &up) == 0;
    ok = ok && SetAddress(s, "lo:1", "127.0.0.2", SIOCSIFADDR) &&
         SetAddress(s, "lo:1", "255.0.0.0", SIOCSIFNETMASK);
    close(s);
    return ok;
}

// A client that takes a camera, starts acquiring, receives a frame and is killed: what a
// crashing application leaves behind.
int AcquireThenDie(const char* address) {
    ArvCamera* camera = arv_camera_new(address, nullptr);
    if (!camera)
        return 1;
    ArvStream* stream = arv_camera_create_stream(camera, nullptr, nullptr, nullptr);
    if (!stream)
        return 1;
    const guint payload = arv_camera_get_payload(camera, nullptr);
    for (int i = 0; i < 4; ++i)
        arv_stream_push_buffer(stream, arv_buffer_new(payload, nullptr));
    arv_camera_start_acquisition(camera, nullptr);
    ArvBuffer* buffer = arv_stream_timeout_pop_buffer(stream, 5'000'000);
    kill(getpid(), SIGKILL);
    return buffer ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Run by a test as a separate process, in the test's own namespace.
    if (argc == 3 && std::string(argv[1]) == "--acquire-then-die")
        return AcquireThenDie(argv[2]);
    // Before any thread exists: a process with threads cannot enter a user namespace.
    if (!IsolateNetwork())
        std::fprintf(stderr,
                     "gige tests: no network namespace of their own; using this "
                     "machine's loopback interface\n");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
