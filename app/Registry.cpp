#include "app/Registry.h"

#include <algorithm>
#include <cstring>

#include "net/Clock.h"

std::string parseLedNums(const std::string& text, uint8_t ledMap[32]) {
    std::memset(ledMap, 0, 32);
    if (text.empty()) return "";
    std::string_view t(text);
    if (t.back() == ',') t.remove_suffix(1);
    auto add = [&](uint32_t v) {
        unsigned n = static_cast<unsigned>(v & 255);
        if (n != 255) ledMap[n >> 3] |= static_cast<uint8_t>(1u << (n & 7));
    };
    std::string out;
    uint32_t v = 0;  // wraps like the 32-bit original; only its low byte routes
    for (char ch : t) {
        if (ch >= '0' && ch <= '9') {
            v = v * 10 + static_cast<uint32_t>(ch - '0');
        } else if (ch == ',') {
            add(v);
            out += std::to_string(v) + ",";
            v = 0;
        } else {
            std::memset(ledMap, 0, 32);
            return "";
        }
    }
    add(v);
    out += std::to_string(v);
    return out;
}

void Row::showAddress(const VDIPAddress& a) {
    if (addrShown_ && shownAddr_ == a) return;
    cells[ColAddress] = a.ToText();
    shownAddr_ = a;
    addrShown_ = true;
}

void Row::showLastLogon(int64_t ft) {
    if (ft == shownLogon_) return;
    cells[ColLastLogon] = fileTimeText(ft);
    shownLogon_ = ft;
}

void Row::showTx(uint32_t n) {
    if (n == shownTx_) return;
    cells[ColTx] = std::to_string(n);
    shownTx_ = n;
}

void Row::showRx(uint32_t n) {
    if (n == shownRx_) return;
    cells[ColRx] = std::to_string(n);
    shownRx_ = n;
}

std::string ledNumsText(const uint8_t ledMap[32]) {
    std::string out;
    for (unsigned n = 0; n < 255; ++n) {
        if (!ledHas(ledMap, n)) continue;
        if (!out.empty()) out += ",";
        out += std::to_string(n);
    }
    return out;
}

_tagDTU* Registry::createDtu(const RegGuard& g, int portNo, const std::string& devNo, const std::string& addrText,
                             const std::string& ledText, const std::string& comment, bool sel) {
    // Numbers that do not fit the 14-byte field are refused, never cut: a cut
    // number would no longer match its element in Config.xml.
    if (portNo <= 0 || portNo >= PORT_COUNT || !devNoFits(devNo)) return nullptr;
    _tagVSP& port = vsp_[static_cast<size_t>(portNo)];
    if (!port.vsPortAx) return nullptr;
    auto dtu = std::make_shared<_tagDTU>();
    std::memcpy(dtu->devNo, devNo.data(), devNo.size());
    dtu->fixedAddr = dtu->addr.Parse(addrText);
    dtu->portNo = portNo;

    auto row = std::make_unique<Row>();
    row->caption = dtu->devNo;
    row->cells[ColOn] = dtu->fixedAddr ? ON_MARK : OFF_MARK;
    row->cells[ColAddress] = dtu->fixedAddr ? addrText : NO_ADDR;
    row->cells[ColLastLogon] = NEVER;
    row->cells[ColTx] = "0";
    row->cells[ColRx] = "0";
    uint32_t proto = port.serProto;
    row->cells[ColController] = proto <= 1 ? " " : parseLedNums(ledText, dtu->ledMap);
    row->cells[ColComment] = comment;
    row->groupId = portNo;
    row->dtu = dtu.get();
    row->seq = ++rowSeq_;
    dtu->listItem = row.get();
    Row* r = row.get();
    byId_[r->seq] = r;
    rows_.push_back(std::move(row));

    _tagDTU* raw = dtu.get();
    if (port.dtuTail)
        port.dtuTail->next = std::move(dtu);
    else
        port.dtuHead = std::move(dtu);
    port.dtuTail = raw;
    indexAdd(raw);
    // An Unknow port serves one DTU at a time.
    if (sel && (proto != 0 || port.selectedCount == 0)) {
        setSelected(g, raw, true);
        setChecked(g, r, true);
    }
    return raw;
}

void Registry::indexAdd(_tagDTU* dtu) { byDevNo_[dtu->devNo].push_back(dtu); }

void Registry::indexRemove(_tagDTU* dtu) {
    auto it = byDevNo_.find(dtu->devNo);
    if (it == byDevNo_.end()) return;
    std::erase(it->second, dtu);
    if (it->second.empty()) byDevNo_.erase(it);
}

_tagDTU* Registry::findDtu(const RegGuard&, std::string_view devNo) {
    auto it = byDevNo_.find(std::string(devNo));
    if (it == byDevNo_.end()) return nullptr;
    // Lists grow at their end, so within a port the older row comes first.
    _tagDTU* best = nullptr;
    for (_tagDTU* d : it->second)
        if (!best || d->portNo < best->portNo || (d->portNo == best->portNo && d->listItem->seq < best->listItem->seq))
            best = d;
    return best;
}

void Registry::setSelected(const RegGuard&, _tagDTU* dtu, bool on) {
    if (dtu->selected == on) return;
    dtu->selected = on;
    uint32_t& count = vsp_[static_cast<size_t>(dtu->portNo)].selectedCount;
    count = on ? count + 1 : count - 1;
}

namespace {
// One link at a time: letting the head go would free the list recursively,
// and a list of 200,000 DTUs would overflow the stack.
void freeList(std::shared_ptr<_tagDTU>& head) {
    while (head) {
        std::shared_ptr<_tagDTU> next = std::move(head->next);
        head = std::move(next);
    }
}
}  // namespace

Registry::~Registry() {
    for (_tagVSP& port : vsp_) freeList(port.dtuHead);
}

void Registry::clearList(const RegGuard&, int n) {
    _tagVSP& port = vsp_[static_cast<size_t>(n)];
    for (_tagDTU* d = port.dtuHead.get(); d; d = d->next.get()) indexRemove(d);
    freeList(port.dtuHead);
    port.dtuTail = nullptr;
    port.selectedCount = 0;
}

Row* Registry::row(const RegGuard&, DtuId id) {
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
}

std::shared_ptr<_tagDTU> Registry::unlink(const RegGuard& g, _tagDTU* dtu, bool& portEmpty) {
    _tagVSP& port = vsp_[static_cast<size_t>(dtu->portNo)];
    std::shared_ptr<_tagDTU>* link = &port.dtuHead;
    _tagDTU* before = nullptr;
    while (*link && link->get() != dtu) {
        before = link->get();
        link = &(*link)->next;
    }
    if (!*link) return nullptr;
    std::shared_ptr<_tagDTU> keep = *link;
    *link = keep->next;
    if (port.dtuTail == dtu) port.dtuTail = before;
    indexRemove(dtu);
    // A reader still sending to it gives up: it left the eligible set.
    setSelected(g, dtu, false);
    keep->online = false;
    portEmpty = !port.dtuHead;
    if (Row* r = keep->listItem) {
        byId_.erase(r->seq);
        for (auto it = rows_.begin(); it != rows_.end(); ++it)
            if (it->get() == r) {
                rows_.erase(it);
                break;
            }
    }
    keep->listItem = nullptr;
    return keep;
}

void Registry::renameDtu(const RegGuard&, _tagDTU* dtu, const std::string& devNo) {
    indexRemove(dtu);
    std::memset(dtu->devNo, 0, sizeof dtu->devNo);
    std::memcpy(dtu->devNo, devNo.data(), std::min(devNo.size(), static_cast<size_t>(DEVNO_MAX)));
    if (dtu->listItem) dtu->listItem->caption = dtu->devNo;
    indexAdd(dtu);
}

void Registry::setChecked(const RegGuard& g, Row* row, bool checked) {
    if (row->checked == checked) return;
    row->checked = checked;
    if (checkHook_) onCheckChanged(g, row, checked);
}

void Registry::onCheckChanged(const RegGuard& g, Row* row, bool checked) {
    _tagDTU* dtu = row->dtu;
    if (!dtu || inCheckChange_) return;
    inCheckChange_ = true;
    if (checked) {
        setSelected(g, dtu, true);
        _tagVSP& port = vsp_[static_cast<size_t>(dtu->portNo)];
        if (port.serProto == 0)
            for (_tagDTU* d = port.dtuHead.get(); d; d = d->next.get())
                if (d != dtu && d->selected && d->portNo == dtu->portNo) {
                    setSelected(g, d, false);
                    if (d->listItem) setChecked(g, d->listItem, false);
                }
    } else {
        setSelected(g, dtu, false);
    }
    if (onSelectionChange_) onSelectionChange_();
    inCheckChange_ = false;
}

void Registry::addGroup(const RegGuard&, int n) {
    for (int g : groups_)
        if (g == n) return;
    groups_.push_back(n);
}
