#pragma once
// The port table and DTU records, and the list rows as data.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "net/VDEvent.h"
#include "net/VDIPAddress.h"
#include "net/VDThread.h"
#include "vsp/VirtualPort.h"

class Manager;
struct _tagDTU;

constexpr int PORT_COUNT = 255;  // records 0..254; index = COM number
constexpr int FRAME_BUF_SIZE = 1400;
constexpr int DEVNO_MAX = 14;

// Sub-item columns after the caption (Device No.).
enum RowCol { ColOn, ColAddress, ColLastLogon, ColTx, ColRx, ColController, ColComment, ColCount };

inline constexpr const char* ON_MARK = "\xE2\x88\x9A";  // √
inline constexpr const char* OFF_MARK = "\xC3\x97";     // ×
inline constexpr const char* NO_ADDR = "0.0.0.0:0";
inline constexpr const char* NEVER = "0000-00-00 00:00:00";

struct Row {
    std::string caption;
    std::array<std::string, ColCount> cells;
    bool checked = false;
    int groupId = 0;
    _tagDTU* dtu = nullptr;
    uint64_t seq = 0;  // creation order
};

struct _tagDTU {
    char devNo[DEVNO_MAX + 1] = {};
    uint8_t ledMap[32] = {};
    bool fixedAddr = false;
    int32_t portNo = 0;
    std::atomic<bool> selected{false};
    std::atomic<bool> online{false};
    std::atomic<int64_t> lastLogon{0};  // FILETIME of local time
    VDIPAddress addr;                   // under the registry lock
    std::atomic<uint32_t> txBytes{0};
    std::atomic<uint32_t> rxBytes{0};
    int32_t queryCount = 0;  // window thread only
    Row* listItem = nullptr;
    std::shared_ptr<_tagDTU> next;
};

struct _tagVSP {
    std::shared_ptr<IVirtualPort> vsPortAx;
    uint8_t frameBuf[FRAME_BUF_SIZE] = {};
    VDThread readerThread;
    Manager* owner = nullptr;
    std::unique_ptr<VDEvent> stopEvent;
    std::atomic<uint32_t> serProto{0};
    std::shared_ptr<_tagDTU> dtuHead;
    uint32_t netProto = 0;
    uint32_t appProto = 0;
};

// LED-number list text to the 256-bit set; "" when the text is not a list.
std::string parseLedNums(const std::string& text, uint8_t ledMap[32]);
// The set's numbers 0..254 ascending, comma-separated.
std::string ledNumsText(const uint8_t ledMap[32]);
// A device number fits its 14-byte field (with room for the NUL).
inline bool devNoFits(const std::string& devNo) {
    return devNo.size() <= DEVNO_MAX && devNo.find('\0') == std::string::npos;
}
inline bool ledHas(const uint8_t ledMap[32], unsigned n) { return ledMap[n >> 3] & (1u << (n & 7)); }
