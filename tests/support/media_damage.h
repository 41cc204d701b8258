// Damage done to a media file in place, as recorders, copies and editors do it: a cut end, a
// hole of zeroed bytes, container headers whose stated length is not the real one. The headers are
// found by their tags in files FFmpeg's muxers wrote; a file without the tag is an error
// (std::runtime_error naming the file), never left silently whole.
//
// No state, no locks; any thread may call these on files no other thread is writing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zyl::test::media {

// Keeps the first `fraction` (0..1) of the file.
void CutFile(const std::string& path, double fraction);

// Zeroes `count` bytes from `offset` (clipped to the end of the file).
void ZeroBytes(const std::string& path, std::size_t offset, std::size_t count);

// AVI: the main header's total frame count and every stream header's length become `frames`.
void SetAviStatedFrames(const std::string& path, std::uint32_t frames);

// MP4/QuickTime: the movie's, every track's and every media's duration ('mvhd', 'tkhd',
// 'mdhd', version 0 or 1) times `factor`.
void ScaleMp4Durations(const std::string& path, double factor);

// Matroska/WebM: the segment's Duration element (a 4- or 8-byte float) times `factor`.
void ScaleMatroskaDuration(const std::string& path, double factor);

}  // namespace zyl::test::media
