// A file the module plays, served as a GigE Vision camera on one IPv4 address.
//
// Owns the opened camera (the module's host object) and Aravis's simulated GigE Vision device,
// which answers the control protocol and sends the stream on a thread of its own. Frames reach
// it through this class:
// - the pump thread (ours) is the module's only caller: it follows the client's acquisition
//   state with G2Grab/G2Freeze, waits for each frame with G2Wait, copies it into the back
//   buffer, and applies the client's register requests (rate, seek, step, rewind);
// - Aravis's thread calls the fill hook once per software trigger; the pump triggers once per
//   frame it makes ready, so each frame is sent at most once and never torn. A frame the
//   network thread has not taken before the next one is ready is replaced, and its frame id
//   goes missing at the client, which is how GigE Vision reports a lost frame.
// One lock, slotMutex_, guards the ready frame and the trigger register; neither thread calls
// out while holding it except to copy pixels.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/module_host.h"
#include "genicam_xml.h"

typedef struct _ArvGvFakeCamera ArvGvFakeCamera;
typedef struct _ArvFakeCamera ArvFakeCamera;
typedef struct _ArvBuffer ArvBuffer;

namespace zyl::gige {

struct ServeOptions {
    std::string address = "127.0.0.1";  // an IPv4 address of one of the machine's interfaces
    std::string serial;                 // at most 15 characters; "ZYLAVI" when empty
    std::string userName;               // shown as DeviceUserID, at most 15 characters
    // Every frame the module plays reaches the network (with ReplayMode set): the pump waits
    // for each to be sent before it takes the next. Otherwise a frame the network has not taken
    // when the next is ready is replaced, as a camera's would be.
    bool everyFrame = false;
    // Frame ids count on from here (tests start near the 16-bit wrap, as a long run reaches it).
    std::uint64_t framesBefore = 0;
};

struct ServeStats {
    std::uint64_t played = 0;    // frames the module delivered while a client acquired
    std::uint64_t sent = 0;      // frames handed to the network
    std::uint64_t replaced = 0;  // frames a newer one replaced before they were sent
    std::uint64_t skipped = 0;   // frames the module skipped (it counts them as lost)
    std::uint64_t refused = 0;   // register writes out of range, undone
};

class FileCamera {
public:
    // Starts serving at once. Throws std::runtime_error naming the cause: no such address,
    // the control port in use, a picture format GigE Vision cannot carry.
    FileCamera(std::unique_ptr<tools::Camera> camera, const ServeOptions& options);
    // Stops serving (a client sees the camera go), then pauses and releases the file.
    ~FileCamera();
    FileCamera(const FileCamera&) = delete;
    FileCamera& operator=(const FileCamera&) = delete;

    const Description& description() const { return description_; }
    const std::string& address() const { return options_.address; }
    const std::string& serial() const { return options_.serial; }
    ServeStats stats() const;
    // The first failure the pump met (a module call that failed), empty while there is none.
    std::string problem() const;

private:
    static void FillHook(ArvBuffer* buffer, void* self, std::uint32_t, std::uint32_t,
                         std::uint32_t);
    void Fill(ArvBuffer* buffer);
    void Pump();
    void FollowAcquisition(bool& grabbing);
    void ApplyRequests();
    bool TakeFrame();
    bool ReadPixels(std::uint8_t* out);
    std::uint32_t Register(std::uint32_t address) const;
    void SetRegister(std::uint32_t address, std::uint32_t value);
    double RateRegister() const;
    void SetRateRegister(double framesPerSecond);
    void NoteProblem(const std::string& text);
    void SetLookHz(double hz);

    std::unique_ptr<tools::Camera> camera_;
    ServeOptions options_;
    Description description_;
    double frameTimeMs_ = 40.0;
    std::size_t frameBytes_ = 0;
    std::string xmlPath_;
    ArvGvFakeCamera* server_ = nullptr;
    ArvFakeCamera* device_ = nullptr;  // owned by server_

    // Pump thread only.
    std::vector<std::uint8_t> back_;
    std::uint64_t frameCounter_ = 0;
    double skippedAtLastFrame_ = 0;
    double rate_ = 1.0;

    mutable std::mutex slotMutex_;
    std::vector<std::uint8_t> ready_;
    bool readyValid_ = false;
    std::condition_variable sent_;                // Fill has taken the ready frame
    std::chrono::microseconds lookPeriod_{2000};  // how often the device looks for a frame
    std::uint64_t readyId_ = 0;
    std::uint64_t readyTimestampNs_ = 0;
    std::uint64_t lastSentId_ = 0;
    std::uint64_t lastSentTimestampNs_ = 0;
    ServeStats stats_;
    std::string problem_;

    std::atomic<bool> stop_{false};
    std::thread pump_;
};

}  // namespace zyl::gige
