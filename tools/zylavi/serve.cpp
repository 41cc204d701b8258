// zylavi serve: files the module plays, each served as a GigE Vision camera until a signal (or
// --seconds) ends it. The main thread opens, waits and closes; each camera runs its own pump
// thread and Aravis's network thread.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "cli.h"
#include "gige/file_camera.h"
#include "gige/network.h"
#include "module/config/Configuration.h"

namespace zyl::cli {

namespace {

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

// A serial made of the file's name: what a user recognises in a client's camera list.
std::string SerialFor(const std::string& path) {
    std::string serial;
    for (char c : std::filesystem::path(path).stem().string()) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')
            serial += c;
    }
    if (serial.empty())
        serial = "ZYLAVI";
    return serial.substr(0, 15);
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text.empty() ? "none" : text;
}

}  // namespace

int Serve(const Args& args) {
    if (args.positional.empty()) {
        std::cerr << "zylavi serve: needs at least one FILE (see zylavi --help)\n";
        return kExitUsage;
    }
    const std::vector<std::string>& files = args.positional;
    const std::string interfaceName = args.get("--interface").value_or("lo");
    double seconds = -1;
    if (auto s = args.get("--seconds"); s && (!ToDouble(*s, seconds) || seconds <= 0)) {
        std::cerr << "zylavi serve: --seconds needs a positive number, not '" << *s << "'\n";
        return kExitUsage;
    }

    // One address per camera: GigE Vision has one control port per address.
    std::vector<std::string> addresses;
    if (auto a = args.get("--address")) {
        addresses = SplitList(*a);
        for (const std::string& address : addresses) {
            const auto owner = gige::InterfaceOf(address);
            if (!owner) {
                std::cerr << "zylavi serve: no interface of this machine has the address "
                          << address << " (" << interfaceName << " has "
                          << Join(gige::InterfaceAddresses(interfaceName)) << ")\n";
                return kExitUsage;
            }
            if (args.get("--interface") && *owner != interfaceName &&
                owner->rfind(interfaceName + ":", 0) != 0) {
                std::cerr << "zylavi serve: " << address << " belongs to " << *owner << ", not "
                          << interfaceName << "\n";
                return kExitUsage;
            }
        }
    } else {
        if (!gige::InterfaceExists(interfaceName)) {
            std::cerr << "zylavi serve: no network interface named '" << interfaceName << "'\n";
            return kExitUsage;
        }
        addresses = gige::InterfaceAddresses(interfaceName);
        if (addresses.empty()) {
            std::cerr << "zylavi serve: interface " << interfaceName << " has no IPv4 address\n";
            return kExitUsage;
        }
    }
    if (addresses.size() < files.size()) {
        std::cerr << "zylavi serve: " << files.size() << " files need " << files.size()
                  << " addresses, one per camera; " << Join(addresses)
                  << " given (add one with: ip addr add 127.0.0.2/8 dev lo, then pass "
                     "--address 127.0.0.1,127.0.0.2)\n";
        return kExitUsage;
    }

    // ReplayMode for this run only, before the module reads its settings.
    std::unique_ptr<SettingForOneRun> replay;
    if (auto mode = args.get("--replay")) {
        if (*mode != "paced" && *mode != "free") {
            std::cerr << "zylavi serve: --replay is paced or free, not '" << *mode << "'\n";
            return kExitUsage;
        }
        try {
            replay = std::make_unique<SettingForOneRun>(
                "ReplayMode", *mode == "paced" ? ZYL::kReplayPaced : ZYL::kReplayFree);
        } catch (const std::exception& e) {
            std::cerr << "zylavi serve: " << e.what() << "\n";
            return kExitFailed;
        }
    }

    // Signals are taken by sigtimedwait below, so every thread must leave them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::vector<std::unique_ptr<gige::FileCamera>> cameras;
    try {
        tools::LoadedModule module(std::string(), true);
        for (std::size_t i = 0; i < files.size(); ++i) {
            gige::ServeOptions options;
            options.address = addresses[i];
            options.serial = args.get("--serial") ? *args.get("--serial") : SerialFor(files[i]);
            if (args.get("--serial") && files.size() > 1)
                options.serial = options.serial.substr(0, 13) + "-" + std::to_string(i + 1);
            options.userName = std::filesystem::path(files[i]).filename().string();
            // A replay promises every frame: the network gets each before the next is taken.
            options.everyFrame = ZYL::ReadConfiguration().replayMode != ZYL::kReplayCamera;
            auto camera = OpenCamera(module, files[i]);
            try {
                cameras.push_back(std::make_unique<gige::FileCamera>(std::move(camera), options));
            } catch (const std::exception& e) {
                throw std::runtime_error(files[i] + ": " + e.what());
            }
        }
        if (args.json) {
            std::cout << "{\"serving\": [";
            for (std::size_t i = 0; i < cameras.size(); ++i) {
                const auto& d = cameras[i]->description();
                std::cout << (i ? ", " : "") << "{\"file\": " << Quoted(files[i])
                          << ", \"address\": " << Quoted(cameras[i]->address())
                          << ", \"serial\": " << Quoted(cameras[i]->serial())
                          << ", \"width\": " << d.width << ", \"height\": " << d.height
                          << ", \"pixelFormat\": " << Quoted(gige::PixelFormatName(d.pixelFormat))
                          << ", \"frameRate\": " << d.frameRate
                          << ", \"frameCount\": " << d.frameCount << "}";
            }
            std::cout << "]}" << std::endl;
        } else {
            for (std::size_t i = 0; i < cameras.size(); ++i) {
                const auto& d = cameras[i]->description();
                std::cout << "serving " << files[i] << " at " << cameras[i]->address()
                          << " as camera ZylAvi-" << cameras[i]->serial() << ": " << d.width << "x"
                          << d.height << " " << gige::PixelFormatName(d.pixelFormat) << ", "
                          << d.frameRate << " fps, " << d.frameCount << " frames\n";
            }
            std::cout << "check with: arv-tool-0.8 -a " << cameras[0]->address()
                      << " features; stop with Ctrl-C" << std::endl;
        }

        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::duration<double>(seconds > 0 ? seconds : 0);
        for (;;) {
            timespec slice{0, 200'000'000};
            if (sigtimedwait(&stopSignals, nullptr, &slice) > 0)
                break;
            if (seconds > 0 && std::chrono::steady_clock::now() >= end)
                break;
        }
        std::vector<gige::ServeStats> stats;
        std::vector<std::string> problems;
        for (auto& camera : cameras) {
            stats.push_back(camera->stats());
            problems.push_back(camera->problem());
        }
        cameras.clear();
        if (args.json) {
            std::cout << "{\"stopped\": [";
            for (std::size_t i = 0; i < stats.size(); ++i) {
                std::cout << (i ? ", " : "") << "{\"file\": " << Quoted(files[i])
                          << ", \"played\": " << stats[i].played << ", \"sent\": " << stats[i].sent
                          << ", \"replaced\": " << stats[i].replaced
                          << ", \"skipped\": " << stats[i].skipped
                          << ", \"refused\": " << stats[i].refused
                          << ", \"problem\": " << Quoted(problems[i]) << "}";
            }
            std::cout << "]}" << std::endl;
        } else {
            for (std::size_t i = 0; i < stats.size(); ++i) {
                std::cout << files[i] << ": " << stats[i].sent << " frames sent, "
                          << stats[i].replaced << " replaced before sending, " << stats[i].skipped
                          << " skipped by the module, " << stats[i].refused
                          << " register writes refused"
                          << (problems[i].empty() ? "" : "; " + problems[i]) << "\n";
            }
        }
    } catch (const std::exception& e) {
        cameras.clear();
        std::cerr << "zylavi serve: " << e.what() << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace zyl::cli
