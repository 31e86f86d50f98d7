#pragma once
// The port table and DTU records, and the list rows as data. One short lock
// guards them all; a function that needs it takes the guard, so the
// compiler sees that the caller holds it.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "link/LinkProtocol.h"
#include "net/VDIPAddress.h"
#include "vsp/PortReader.h"
#include "vsp/VirtualPort.h"

struct _tagDTU;

constexpr int PORT_COUNT = 255;  // records 0..254; index = COM number

// Sub-item columns after the caption (Device No.).
enum RowCol { ColOn, ColAddress, ColLastLogon, ColTx, ColRx, ColController, ColComment, ColCount };

inline constexpr const char* ON_MARK = "\xE2\x88\x9A";  // √
inline constexpr const char* OFF_MARK = "\xC3\x97";     // ×
inline constexpr const char* NO_ADDR = "0.0.0.0:0";
inline constexpr const char* NEVER = "0000-00-00 00:00:00";

using RegGuard = std::lock_guard<std::mutex>;
// A DTU as the window and the dialogs name it: its row's creation number.
using DtuId = uint64_t;

struct Row {
    std::string caption;
    std::array<std::string, ColCount> cells;
    bool checked = false;
    int groupId = 0;
    _tagDTU* dtu = nullptr;  // inside the core only
    DtuId seq = 0;           // creation order; the DTU's id

    // The once-a-second refresh writes a cell only when its value changed:
    // formatting 10,000 rows every second costs more than the rest.
    void showAddress(const VDIPAddress& a);
    void showLastLogon(int64_t ft);
    void showTx(uint32_t n);
    void showRx(uint32_t n);

private:
    VDIPAddress shownAddr_;
    bool addrShown_ = false;  // the cell may hold text of another form
    int64_t shownLogon_ = INT64_MIN;
    uint32_t shownTx_ = 0, shownRx_ = 0;  // the cells start at "0"
};

struct _tagDTU : DtuLinkState, std::enable_shared_from_this<_tagDTU> {
    char devNo[DEVNO_MAX + 1] = {};
    uint8_t ledMap[32] = {};
    bool fixedAddr = false;
    int32_t portNo = 0;
    std::atomic<int64_t> lastLogon{0};  // FILETIME of local time
    VDIPAddress addr;                   // under the registry lock
    int32_t queryCount = 0;             // window thread only
    Row* listItem = nullptr;
    std::shared_ptr<_tagDTU> next;
};

struct _tagVSP : PortLine {
    std::shared_ptr<IVirtualPort> vsPortAx;
    std::unique_ptr<PortReader> reader;
    std::shared_ptr<_tagDTU> dtuHead;
    _tagDTU* dtuTail = nullptr;  // appending stays O(1) for long lists
    uint32_t selectedCount = 0;  // DTUs of the list that are selected
};

class Registry {
public:
    // `onSelectionChange` runs (lock held) whenever a check mark changes a
    // DTU's selection once the window's check hook is installed.
    explicit Registry(std::function<void()> onSelectionChange) : onSelectionChange_(std::move(onSelectionChange)) {}
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    std::mutex& mutex() const { return lock_; }

    _tagVSP& port(const RegGuard&, int n) { return vsp_[static_cast<size_t>(n)]; }
    // First match in port order, then list order; O(1) through the index.
    _tagDTU* findDtu(const RegGuard&, std::string_view devNo);
    Row* row(const RegGuard&, DtuId id);
    const std::vector<std::unique_ptr<Row>>& rows(const RegGuard&) const { return rows_; }
    const std::vector<int>& groups(const RegGuard&) const { return groups_; }
    void addGroup(const RegGuard&, int n);

    // A new DTU at the end of its port's list, with its row; null when the
    // number does not fit or the port is not open.
    _tagDTU* createDtu(const RegGuard&, int portNo, const std::string& devNo, const std::string& addrText,
                       const std::string& ledText, const std::string& comment, bool sel);
    // Takes the DTU and its row out; the record lives on while a reader
    // still holds it. `portEmpty`: its port has no DTU left.
    std::shared_ptr<_tagDTU> unlink(const RegGuard&, _tagDTU* dtu, bool& portEmpty);
    void renameDtu(const RegGuard&, _tagDTU* dtu, const std::string& devNo);

    void setChecked(const RegGuard&, Row* row, bool checked);
    // Selects or deselects a DTU, keeping its port's count.
    void setSelected(const RegGuard&, _tagDTU* dtu, bool on);
    // A port (re)opens with an empty list.
    void clearList(const RegGuard&, int n);
    void installCheckHook(const RegGuard&) { checkHook_ = true; }

private:
    void onCheckChanged(const RegGuard& g, Row* row, bool checked);
    void indexAdd(_tagDTU* dtu);
    void indexRemove(_tagDTU* dtu);

    mutable std::mutex lock_;  // records, lists, rows; short work only
    std::array<_tagVSP, PORT_COUNT> vsp_;
    std::vector<std::unique_ptr<Row>> rows_;
    std::unordered_map<DtuId, Row*> byId_;
    // Device number to every DTU with it (one, unless a hand-edited file
    // gives a number twice).
    std::unordered_map<std::string, std::vector<_tagDTU*>> byDevNo_;
    std::vector<int> groups_;  // port numbers in the order their groups were added
    DtuId rowSeq_ = 0;
    bool checkHook_ = false;
    bool inCheckChange_ = false;
    std::function<void()> onSelectionChange_;
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
