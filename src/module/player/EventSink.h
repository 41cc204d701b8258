// ZYL::CAVIPlayerEventSink<T>: the COM objects through which the module's renderer filters hand
// samples to the player, one for video (COM::IZYLTransfer2) and one for text
// (COM::IZYLTextTransfer). The player holds one reference, each filter one more while advised.
//
// SampleSnapped runs on the graph's streaming thread and takes no lock of its own (the player's
// sample paths take theirs). The reference count is atomic.
#pragma once

#include <type_traits>

#include "module/filters/BasicIUnknown.h"
#include "module/filters/SinkInterfaces.h"

namespace ZYL {

class CAVIPlayer;

template <class T>
class CAVIPlayerEventSink final : public T, public COM::CBasicIUnknown {
public:
    explicit CAVIPlayerEventSink(CAVIPlayer* player) : m_player(player) {}

    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override { return COM::CBasicIUnknown::AddRef(); }
    ULONG Release() override { return COM::CBasicIUnknown::Release(); }
    HRESULT SampleSnapped(IUnknown* sample) override;

private:
    static const IID& SinkIid() {
        if constexpr (std::is_same_v<T, COM::IZYLTransfer2>) {
            return COM::IID_IZYLTransfer2;
        } else {
            return COM::IID_IZYLTextTransfer;
        }
    }

    CAVIPlayer* m_player;
};

using CAVIPlayerVideoSink = CAVIPlayerEventSink<COM::IZYLTransfer2>;
using CAVIPlayerTextSink = CAVIPlayerEventSink<COM::IZYLTextTransfer>;

}  // namespace ZYL
