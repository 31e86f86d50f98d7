#include <cstring>

#include "app/Manager.h"

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

std::string ledNumsText(const uint8_t ledMap[32]) {
    std::string out;
    for (unsigned n = 0; n < 255; ++n) {
        if (!ledHas(ledMap, n)) continue;
        if (!out.empty()) out += ",";
        out += std::to_string(n);
    }
    return out;
}

_tagDTU* Manager::createDtu(int portNo, const std::string& devNo, const std::string& addrText,
                            const std::string& ledText, const std::string& comment, bool sel) {
    // Numbers that do not fit the 14-byte field are refused, never cut: a cut
    // number would no longer match its element in Config.xml.
    if (portNo <= 0 || portNo >= PORT_COUNT || !devNoFits(devNo)) return nullptr;
    std::lock_guard<std::mutex> lk(regLock_);
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
    rows_.push_back(std::move(row));

    if (sel) {
        bool another = false;
        if (proto == 0)
            for (_tagDTU* d = port.dtuHead.get(); d; d = d->next.get()) another = another || d->selected;
        if (!another) {
            dtu->selected = true;
            setCheckedLocked(r, true);
        }
    }
    _tagDTU* raw = dtu.get();
    if (!port.dtuHead) {
        port.dtuHead = std::move(dtu);
    } else {
        _tagDTU* tail = port.dtuHead.get();
        while (tail->next) tail = tail->next.get();
        tail->next = std::move(dtu);
    }
    return raw;
}

_tagDTU* Manager::findDtu(const char* devNo) {
    for (auto& port : vsp_)
        for (_tagDTU* d = port.dtuHead.get(); d; d = d->next.get())
            if (std::strcmp(d->devNo, devNo) == 0) return d;
    return nullptr;
}

void Manager::removeDtu(_tagDTU* dtu) {
    int n = dtu->portNo;
    bool empty;
    std::shared_ptr<_tagDTU> keep;  // freed after the lock; threads still sending hold their own reference
    {
        std::lock_guard<std::mutex> lk(regLock_);
        _tagVSP& port = vsp_[static_cast<size_t>(n)];
        std::shared_ptr<_tagDTU>* link = &port.dtuHead;
        while (*link && link->get() != dtu) link = &(*link)->next;
        if (!*link) return;
        keep = *link;
        *link = keep->next;
        // A reader still sending to it gives up: it left the eligible set.
        keep->selected = false;
        keep->online = false;
        empty = !port.dtuHead;
        for (auto it = rows_.begin(); it != rows_.end(); ++it)
            if (it->get() == dtu->listItem) {
                rows_.erase(it);
                break;
            }
        keep->listItem = nullptr;
    }
    if (empty) closePort(n);
}

void Manager::setChecked(Row* row, bool checked) {
    std::lock_guard<std::mutex> lk(regLock_);
    setCheckedLocked(row, checked);
}

void Manager::setCheckedLocked(Row* row, bool checked) {
    if (row->checked == checked) return;
    row->checked = checked;
    if (checkHook_) onCheckChanged(row, checked);
}

void Manager::onCheckChanged(Row* row, bool checked) {
    _tagDTU* dtu = row->dtu;
    if (!dtu || inCheckChange_) return;
    inCheckChange_ = true;
    if (checked) {
        dtu->selected = true;
        _tagVSP& port = vsp_[static_cast<size_t>(dtu->portNo)];
        if (port.serProto == 0)
            for (_tagDTU* d = port.dtuHead.get(); d; d = d->next.get())
                if (d != dtu && d->selected && d->portNo == dtu->portNo) {
                    d->selected = false;
                    if (d->listItem) setCheckedLocked(d->listItem, false);
                }
    } else {
        dtu->selected = false;
    }
    btnSaveSelectEnabled = true;
    inCheckChange_ = false;
}

void Manager::VSPListViewClick(Row* row) {
    if (!row || !row->dtu) return;
    std::lock_guard<std::mutex> lk(regLock_);
    if (vsp_[static_cast<size_t>(row->dtu->portNo)].serProto != 0) btnSelectAllEnabled = true;
}

void Manager::BtnSelectAllClick(Row* first) {
    if (!first || !first->dtu) return;
    std::lock_guard<std::mutex> lk(regLock_);
    if (vsp_[static_cast<size_t>(first->dtu->portNo)].serProto == 0) return;
    int group = first->groupId;
    for (auto& r : rows_)
        if (r->groupId == group) setCheckedLocked(r.get(), true);
}

void Manager::BtnDeselectAllClick(Row* first) {
    if (!first) return;
    std::lock_guard<std::mutex> lk(regLock_);
    int group = first->groupId;
    for (auto& r : rows_)
        if (r->groupId == group) setCheckedLocked(r.get(), false);
}

void Manager::addGroupLocked(int n) {
    for (int g : groups_)
        if (g == n) return;
    groups_.push_back(n);
}

Row Manager::rowCopy(const Row* row) const {
    std::lock_guard<std::mutex> lk(regLock_);
    return *row;
}
