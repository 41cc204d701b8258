// A GenICam client for bench/serve_run: acquires from the camera at ADDRESS for SECONDS with
// Aravis's own client library and prints, as one JSON object, the frames it received, the
// frame ids that never arrived (lost) and the buffers that arrived incomplete.
//   serve_client ADDRESS SECONDS
#include <arv.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[1]) == "--help") {
        std::fprintf(stderr, "usage: serve_client ADDRESS SECONDS\n");
        return argc == 2 ? 0 : 2;
    }
    GError* error = nullptr;
    ArvCamera* camera = arv_camera_new(argv[1], &error);
    if (!camera) {
        std::fprintf(stderr, "serve_client: no camera at %s: %s\n", argv[1],
                     error ? error->message : "unknown error");
        return 1;
    }
    ArvStream* stream = arv_camera_create_stream(camera, nullptr, nullptr, &error);
    const guint payload = arv_camera_get_payload(camera, &error);
    if (!stream || error) {
        std::fprintf(stderr, "serve_client: no stream: %s\n", error ? error->message : "?");
        return 1;
    }
    for (int i = 0; i < 16; ++i)
        arv_stream_push_buffer(stream, arv_buffer_new(payload, nullptr));
    arv_camera_start_acquisition(camera, &error);
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(argv[2]));
    long received = 0, incomplete = 0, lost = 0;
    long long lastId = -1;
    while (std::chrono::steady_clock::now() < end) {
        ArvBuffer* buffer = arv_stream_timeout_pop_buffer(stream, 200'000);
        if (!buffer)
            continue;
        if (arv_buffer_get_status(buffer) == ARV_BUFFER_STATUS_SUCCESS) {
            const auto id = static_cast<long long>(arv_buffer_get_frame_id(buffer));
            // Ids are 16 bits and skip 0.
            if (lastId >= 0)
                lost += ((id - lastId - 1) % 65535 + 65535) % 65535;
            lastId = id;
            ++received;
        } else {
            ++incomplete;
        }
        arv_stream_push_buffer(stream, buffer);
    }
    arv_camera_stop_acquisition(camera, nullptr);
    std::printf("{\"received\": %ld, \"lost\": %ld, \"incomplete\": %ld}\n", received, lost,
                incomplete);
    g_object_unref(stream);
    g_object_unref(camera);
    return 0;
}
