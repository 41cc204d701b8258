// The host object table and the host's images.
//
// Owns every host object: a slot table (one mutex, taken briefly for lookups, never while
// calling into a driver object) with a generation per slot, so a handle that outlived its object
// is recognised. A driver object's GetInterfaces and Dispose are called without the table lock.
// The exports are a C interface: whatever is thrown inside them (memory, a driver's own
// exception) ends there as a failure result.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host/ZylHost.h"

namespace {

using ZYL::Result;

constexpr std::size_t kBlockAlignment = 64;
constexpr std::size_t kGuard = 4;

struct HostObject {
    std::atomic<std::int64_t> references{1};
    void* block = nullptr;
    ZYL::IDisposableType* attached = nullptr;
    std::vector<ZYL::InterfaceEntry> interfaces;
};

class ObjectTable {
public:
    HostHandle Add(std::unique_ptr<HostObject> object) {
        std::lock_guard lock(mutex_);
        std::size_t slot;
        if (!free_.empty()) {
            slot = free_.back();
            free_.pop_back();
        } else {
            slot = slots_.size();
            slots_.push_back({});
        }
        slots_[slot].object = std::move(object);
        ++live_;
        return Encode(slot, slots_[slot].generation);
    }

    // The object behind a handle, or null for a null, dead or foreign handle.
    HostObject* Find(HostHandle handle) {
        std::lock_guard lock(mutex_);
        const auto [slot, generation] = Decode(handle);
        if (slot >= slots_.size() || slots_[slot].generation != generation)
            return nullptr;
        return slots_[slot].object.get();
    }

    // Takes the object out of the table (its handle dies now).
    std::unique_ptr<HostObject> Remove(HostHandle handle) {
        std::lock_guard lock(mutex_);
        const auto [slot, generation] = Decode(handle);
        if (slot >= slots_.size() || slots_[slot].generation != generation)
            return nullptr;
        ++slots_[slot].generation;
        free_.push_back(slot);
        --live_;
        return std::move(slots_[slot].object);
    }

    std::int64_t Live() {
        std::lock_guard lock(mutex_);
        return live_;
    }

private:
    struct Slot {
        std::uint32_t generation = 1;
        std::unique_ptr<HostObject> object;
    };
    static HostHandle Encode(std::size_t slot, std::uint32_t generation) {
        return reinterpret_cast<HostHandle>((static_cast<std::uintptr_t>(generation) << 32) |
                                            (slot + 1));
    }
    static std::pair<std::size_t, std::uint32_t> Decode(HostHandle handle) {
        const auto value = reinterpret_cast<std::uintptr_t>(handle);
        return {static_cast<std::size_t>((value & 0xFFFFFFFFu) - 1),
                static_cast<std::uint32_t>(value >> 32)};
    }

    std::mutex mutex_;
    std::vector<Slot> slots_;
    std::vector<std::size_t> free_;
    std::int64_t live_ = 0;
};

ObjectTable& Table() {
    static ObjectTable table;
    return table;
}

// Builds a plane's access table: x offsets per column, y offsets per line, four guard entries
// on each side.
std::vector<ZYL::VPAEntry> MakeTable(std::int32_t width, std::int32_t height, std::int64_t xStep,
                                     std::int64_t yStep) {
    const std::size_t span = static_cast<std::size_t>(std::max(width, height));
    std::vector<ZYL::VPAEntry> table(span + 2 * kGuard);
    ZYL::VPAEntry* t = table.data() + kGuard;
    for (std::int32_t c = 0; c < width; ++c)
        t[c].x = c * xStep;
    for (std::int32_t r = 0; r < height; ++r)
        t[r].y = r * yStep;
    for (std::size_t g = 1; g <= kGuard; ++g)
        t[-static_cast<std::ptrdiff_t>(g)] = t[0];
    for (std::size_t g = 0; g < kGuard; ++g) {
        t[width + g].x = t[width - 1].x;
        t[height + g].y = t[height - 1].y;
    }
    return table;
}

// The host's image: planes over its own memory or over a caller's buffer.
class HostImage final : public ZYL::IImageVPA {
public:
    HostImage(std::int32_t planes, std::int32_t width, std::int32_t height, std::int32_t dataType)
        : planes_(planes),
          width_(width),
          height_(height),
          dataType_(dataType),
          planeRecords_(static_cast<std::size_t>(planes)) {
        HostInitRecord(&record_);
        for (auto& r : planeRecords_)
            HostInitRecord(&r);
    }
    ~HostImage() override {
        if (release_)
            release_(context_);
        std::free(own_);
    }

    bool AllocateOwn() {
        const std::size_t planeBytes =
            static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
        own_ = static_cast<std::uint8_t*>(
            std::calloc(planeBytes * static_cast<std::size_t>(planes_), 1));
        if (!own_)
            return false;
        for (std::int32_t p = 0; p < planes_; ++p) {
            bases_.push_back(own_ + planeBytes * static_cast<std::size_t>(p));
            tables_.push_back(MakeTable(width_, height_, 1, width_));
        }
        return true;
    }

    void Wrap(std::uint8_t* buffer, std::int64_t pixelInc, std::int64_t lineInc,
              std::int64_t planeInc, const std::int32_t* order, HostReleaseCallback release,
              void* context) {
        for (std::int32_t p = 0; p < planes_; ++p) {
            const std::int32_t start = order ? order[p] : p;
            bases_.push_back(buffer + start * planeInc);
            tables_.push_back(MakeTable(width_, height_, pixelInc, lineInc));
        }
        release_ = release;
        context_ = context;
    }

    Result GetSize(std::int32_t* planes, std::int32_t* width, std::int32_t* height) override {
        if (planes)
            *planes = planes_;
        if (width)
            *width = width_;
        if (height)
            *height = height_;
        return ZYL::kOk;
    }
    Result GetPlaneDataType(std::int32_t plane, std::int32_t* dataType) override {
        if (plane < 0 || plane >= planes_)
            return ZYL::kBadPlane;
        if (dataType)
            *dataType = dataType_;
        return ZYL::kOk;
    }
    Result GetPlaneVPA(std::int32_t plane, std::uint8_t** base, ZYL::VPAEntry** table) override {
        if (plane < 0 || plane >= planes_)
            return ZYL::kBadPlane;
        if (base)
            *base = bases_[static_cast<std::size_t>(plane)];
        if (table)
            *table = tables_[static_cast<std::size_t>(plane)].data() + kGuard;
        return ZYL::kOk;
    }
    Result GetImageRecord(ZYL::ImageRecord* record) override {
        if (!record)
            return ZYL::kBadArgument;
        *record = record_;
        return ZYL::kOk;
    }
    Result SetImageRecord(const ZYL::ImageRecord* record) override {
        if (!record)
            return ZYL::kBadArgument;
        record_ = *record;
        return ZYL::kOk;
    }
    Result SetPlaneRecord(std::int32_t plane, const ZYL::ImageRecord* record) {
        if (plane < 0 || plane >= planes_)
            return ZYL::kBadPlane;
        if (!record)
            return ZYL::kBadArgument;
        planeRecords_[static_cast<std::size_t>(plane)] = *record;
        return ZYL::kOk;
    }
    // Lives in its host object's block: the block is freed by the host, not by delete.
    void Dispose() override { this->~HostImage(); }

private:
    std::int32_t planes_, width_, height_, dataType_;
    ZYL::ImageRecord record_{};
    std::vector<ZYL::ImageRecord> planeRecords_;
    std::vector<std::uint8_t*> bases_;
    std::vector<std::vector<ZYL::VPAEntry>> tables_;
    std::uint8_t* own_ = nullptr;
    HostReleaseCallback release_ = nullptr;
    void* context_ = nullptr;
};

HostImage* ImageOf(HostHandle handle) {
    void* pointer = nullptr;
    if (HostQueryInterface(handle, ZYL::kIdImageVPA, &pointer) != ZYL::kOk || !pointer)
        return nullptr;
    return dynamic_cast<HostImage*>(static_cast<ZYL::IImageVPA*>(pointer));
}

bool ValidGeometry(std::int32_t planes, std::int32_t width, std::int32_t height) {
    return planes >= 1 && planes <= 4 && width > 0 && height > 0;
}

// Makes an image host object with the image built in its block.
Result NewImage(std::int32_t dataType, std::int32_t planes, std::int32_t width, std::int32_t height,
                HostHandle* handle, HostImage** image) {
    void* block = nullptr;
    HostHandle h = HostAllocObject(sizeof(HostImage), &block);
    if (!h)
        return ZYL::kNoMemory;
    try {
        *image = new (block) HostImage(planes, width, height, dataType);
    } catch (...) {
        if (std::unique_ptr<HostObject> dead = Table().Remove(h))
            std::free(dead->block);
        return ZYL::kNoMemory;
    }
    *handle = h;
    return ZYL::kOk;
}

// Undoes NewImage for an image that never reached its caller (the caller keeps its buffer).
void DiscardImage(HostHandle handle, HostImage* image) {
    image->~HostImage();
    if (std::unique_ptr<HostObject> dead = Table().Remove(handle))
        std::free(dead->block);
}

}  // namespace

HostHandle HostAllocObject(std::uint64_t size, void** block) try {
    if (block == nullptr)
        return nullptr;
    *block = nullptr;
    // Rounding up must not wrap round to a tiny block.
    if (size > std::numeric_limits<std::size_t>::max() - kBlockAlignment)
        return nullptr;
    auto object = std::make_unique<HostObject>();
    const std::size_t bytes =
        (std::max<std::size_t>(size, 1) + kBlockAlignment - 1) / kBlockAlignment * kBlockAlignment;
    object->block = std::aligned_alloc(kBlockAlignment, bytes);
    if (!object->block)
        return nullptr;
    std::memset(object->block, 0, bytes);
    void* storage = object->block;
    HostHandle handle = Table().Add(std::move(object));
    *block = storage;
    return handle;
} catch (...) {
    return nullptr;
}

ZYL::Result HostAddRef(HostHandle handle) {
    HostObject* object = Table().Find(handle);
    if (!object)
        return ZYL::kBadArgument;
    object->references.fetch_add(1);
    return ZYL::kOk;
}

void HostRelease(HostHandle handle) {
    HostObject* object = Table().Find(handle);
    if (!object || object->references.fetch_sub(1) != 1)
        return;
    std::unique_ptr<HostObject> dying = Table().Remove(handle);
    if (!dying)
        return;
    if (dying->attached) {
        try {
            dying->attached->Dispose();
        } catch (...) {
            // A driver's failure to clean up still frees the block it lived in.
        }
    }
    std::free(dying->block);
}

ZYL::Result HostAttachDisposable(HostHandle handle, ZYL::IDisposableType* object) try {
    HostObject* host = Table().Find(handle);
    if (!host || !object)
        return ZYL::kBadArgument;
    if (host->attached)
        return ZYL::kBadArgument;  // one object per host object
    std::uint64_t count = 0;
    if (object->GetInterfaces(nullptr, &count) != ZYL::kOk)
        return ZYL::kBadArgument;
    std::vector<ZYL::InterfaceEntry> entries(count);
    if (count && object->GetInterfaces(entries.data(), &count) != ZYL::kOk)
        return ZYL::kBadArgument;
    entries.resize(count);
    host->interfaces = std::move(entries);
    host->attached = object;
    return ZYL::kOk;
} catch (const std::bad_alloc&) {
    return ZYL::kNoMemory;
} catch (...) {
    // An absurd interface count, or the object's own exception.
    return ZYL::kBadArgument;
}

std::uint64_t HostInterfaceId(const char* typeName) try {
    static std::mutex mutex;
    static std::map<std::string, std::uint64_t> ids;
    if (!typeName)
        return 0;
    std::lock_guard lock(mutex);
    // Run-time ids start well above the fixed driver interface ids.
    auto [it, added] = ids.emplace(typeName, 0x10000 + ids.size());
    return it->second;
} catch (...) {
    return 0;
}

ZYL::Result HostQueryInterface(HostHandle handle, std::uint64_t id, void** pointer) {
    if (!pointer)
        return ZYL::kBadArgument;
    *pointer = nullptr;
    HostObject* object = Table().Find(handle);
    if (!object || !object->attached)
        return ZYL::kBadArgument;
    for (const auto& entry : object->interfaces) {
        if (entry.id == id) {
            *pointer = entry.pointer;
            return ZYL::kOk;
        }
    }
    return ZYL::kNotSupported;
}

ZYL::Result HostCreateImage(std::int32_t dataType, std::int32_t planes, std::int32_t width,
                            std::int32_t height, HostHandle* image) {
    if (!image)
        return ZYL::kBadArgument;
    *image = nullptr;
    if (dataType != ZYL::kDataType8 || !ValidGeometry(planes, width, height))
        return ZYL::kBadArgument;
    HostHandle handle;
    HostImage* created;
    if (Result r = NewImage(dataType, planes, width, height, &handle, &created); r != ZYL::kOk)
        return r;
    bool made = false;
    try {
        made = created->AllocateOwn() && HostAttachDisposable(handle, created) == ZYL::kOk;
    } catch (...) {
        made = false;
    }
    if (!made) {
        DiscardImage(handle, created);
        return ZYL::kNoMemory;
    }
    *image = handle;
    return ZYL::kOk;
}

ZYL::Result HostImageFromMemory(void* buffer, std::uint64_t size, std::int32_t width,
                                std::int32_t height, std::int32_t planes, std::int32_t dataType,
                                std::int64_t pixelIncrement, std::int64_t lineIncrement,
                                std::int64_t planeIncrement, const std::int32_t* planeOrder,
                                HostReleaseCallback release, void* context, HostHandle* image) {
    if (!image)
        return ZYL::kBadArgument;
    *image = nullptr;
    if (!buffer || dataType != ZYL::kDataType8 || !ValidGeometry(planes, width, height) ||
        pixelIncrement <= 0 || lineIncrement <= 0 || planeIncrement < 0) {
        return ZYL::kBadArgument;
    }
    // Every addressed byte must lie inside the buffer.
    std::int64_t furthest = (width - 1) * pixelIncrement + (height - 1) * lineIncrement;
    for (std::int32_t p = 0; p < planes; ++p) {
        const std::int32_t start = planeOrder ? planeOrder[p] : p;
        if (start < 0 || start > 3)
            return ZYL::kBadArgument;
        if (static_cast<std::uint64_t>(furthest + start * planeIncrement) >= size)
            return ZYL::kBadArgument;
    }
    HostHandle handle;
    HostImage* created;
    if (Result r = NewImage(dataType, planes, width, height, &handle, &created); r != ZYL::kOk)
        return r;
    try {
        if (HostAttachDisposable(handle, created) != ZYL::kOk)
            throw std::bad_alloc();
        // Only once this returns does the buffer belong to the image (Wrap takes the callback
        // last): a failure before leaves it with the caller.
        created->Wrap(static_cast<std::uint8_t*>(buffer), pixelIncrement, lineIncrement,
                      planeIncrement, planeOrder, release, context);
    } catch (...) {
        DiscardImage(handle, created);
        return ZYL::kNoMemory;
    }
    *image = handle;
    return ZYL::kOk;
}

ZYL::Result HostGetImageRecord(HostHandle image, ZYL::ImageRecord* record) {
    HostImage* host = ImageOf(image);
    return host ? host->GetImageRecord(record) : ZYL::kBadArgument;
}

ZYL::Result HostSetPlaneRecord(HostHandle image, std::int32_t plane, const ZYL::ImageRecord* record,
                               std::int32_t) {
    HostImage* host = ImageOf(image);
    return host ? host->SetPlaneRecord(plane, record) : ZYL::kBadArgument;
}

ZYL::Result HostPlaneAccess(HostHandle image, std::int32_t plane, std::uint8_t** base,
                            ZYL::VPAEntry** table) {
    HostImage* host = ImageOf(image);
    return host ? host->GetPlaneVPA(plane, base, table) : ZYL::kBadArgument;
}

void HostInitRecord(ZYL::ImageRecord* record) {
    if (!record)
        return;
    *record = ZYL::ImageRecord{0.0, 0.0, {1.0, 0.0, 0.0, 1.0}};
}

std::int32_t HostBytesPerPixel(std::int32_t dataType) {
    return dataType == ZYL::kDataType8 ? 1 : 0;
}

void HostDefaultWaitTimeout(std::uint32_t* timeout) {
    // The host's default: a second, long enough for any real frame rate.
    if (timeout)
        *timeout = 1000;
}

std::int64_t HostLiveObjects() {
    return Table().Live();
}
