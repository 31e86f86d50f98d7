// The window's changes to ports and DTUs: records, rows and Config.xml are
// kept in step, and the document is saved after each action.
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "app/Manager.h"

void Manager::saveSelection() {
    {
        RegGuard g(reg_.mutex());
        for (pugi::xml_node port : config_.root().children("CommPort")) {
            int n = strToIntDef(port.attribute("port").value(), -1);
            if (n <= 0 || n >= PORT_COUNT) continue;
            // The first DTU of the port with each number, as the element
            // search found it: one pass, not one per element.
            std::unordered_map<std::string_view, const _tagDTU*> byNo;
            for (const _tagDTU* dtu = reg_.port(g, n).dtuHead.get(); dtu; dtu = dtu->next.get())
                byNo.emplace(dtu->devNo, dtu);
            for (pugi::xml_node d : port.children("DTU")) {
                auto it = byNo.find(d.attribute("id").value());
                if (it != byNo.end()) setAttr(d, "sel", it->second->selected ? "1" : "0");
            }
        }
    }
    saveConfig();
    btnSaveSelectEnabled = false;
}

void Manager::BtnSaveSelectClick() {
    saveSelection();
    if (!terminateRequested) msg_.show("Save sucessfully!", "Ok", MsgIcon::None, MsgButtons::Ok);
}

DtuId Manager::btnCreatePortDtuClick(const std::string& devNo, int n, const std::string& comment) {
    {
        RegGuard g(reg_.mutex());
        for (auto& r : reg_.rows(g))
            if (r->caption == devNo) return r->seq;
    }
    if (n < 1 || n >= PORT_COUNT) return 0;
    // A number that does not fit is refused before anything is made.
    if (!devNoFits(devNo)) {
        error("Create dtu error, please check!");
        return 0;
    }
    const bool made = !portOpen(n);
    if (made && !openPort(n, 0, 1, 0)) {
        reportCause("COM" + std::to_string(n), ports_.lastError());
        msg_.show("Create virtual serial port error, please check your computer.", "Warning", MsgIcon::Exclamation,
                  MsgButtons::Ok);
        return 0;
    }
    pugi::xml_node port = config_.portNode(n);
    if (made) {
        // A port that failed to open at start-up left elements with its old
        // protocol and DTUs; the port made now is described afresh.
        for (pugi::xml_node root = config_.root(); port; port = config_.portNode(n)) root.remove_child(port);
        port = config_.root().append_child("CommPort");
        port.append_attribute("port").set_value(n);
        port.append_attribute("netproto").set_value("0");
        port.append_attribute("appproto").set_value("1");
        port.append_attribute("serproto").set_value("0");
        port.append_attribute("cmt").set_value("");
    }
    bool sel;
    std::string id;
    {
        RegGuard g(reg_.mutex());
        const _tagVSP& p = reg_.port(g, n);
        sel = !p.dtuHead || p.serProto != 0;
        _tagDTU* dtu = reg_.createDtu(g, n, devNo, "", "", comment, sel);
        sel = dtu->selected;
        id = dtu->devNo;
    }
    pugi::xml_node d = port.append_child("DTU");
    d.append_attribute("id").set_value(id.c_str());
    d.append_attribute("ip").set_value("");
    d.append_attribute("cmt").set_value(comment.c_str());
    d.append_attribute("devids").set_value("");
    d.append_attribute("sel").set_value(sel ? "1" : "0");
    saveConfig();
    return 0;
}

void Manager::BtnDelDtuClick(const std::vector<DtuId>& selected) {
    if (selected.empty()) return;
    if (msg_.show("Are you sure you want delete all selected DTUs?", "Warning", MsgIcon::Exclamation,
                  MsgButtons::YesNo) != MsgAnswer::Yes)
        return;
    for (DtuId id : selected) {
        int n;
        bool only;
        std::string devNo;
        {
            RegGuard g(reg_.mutex());
            Row* row = reg_.row(g, id);
            if (!row) continue;
            n = row->groupId;
            only = reg_.port(g, n).dtuHead.get() == row->dtu && !row->dtu->next;
            devNo = row->dtu->devNo;
        }
        pugi::xml_node port = config_.portNode(n);
        if (only)
            config_.root().remove_child(port);
        else
            port.remove_child(ConfigStore::dtuNode(port, devNo));
        removeDtu(id);
    }
    saveConfig();
}

void Manager::applyEdit(DtuId id, const PropResult& r) {
    if (!r.protoChanged && !r.fieldsChanged && !r.lineGapChanged) return;
    // A number that does not fit is refused as creating refuses it, and the
    // edit is not applied by halves.
    if (r.fieldsChanged && !devNoFits(r.devNo)) {
        error("Create dtu error, please check!");
        return;
    }
    {
        RegGuard g(reg_.mutex());
        Row* row = reg_.row(g, id);
        if (!row) return;
        _tagDTU* dtu = row->dtu;
        int n = row->groupId;
        pugi::xml_node port = config_.portNode(n);
        _tagVSP& p = reg_.port(g, n);
        if (r.protoChanged && static_cast<uint32_t>(r.proto) != p.serProto) {
            p.serProto = static_cast<uint32_t>(r.proto);
            setAttr(port, "serproto", std::to_string(r.proto).c_str());
            if (r.proto == 0) {
                for (auto& other : reg_.rows(g))
                    if (other->groupId == n) reg_.setChecked(g, other.get(), false);
                btnSelectAllEnabled = false;
            } else {
                btnSelectAllEnabled = true;
            }
            for (auto& other : reg_.rows(g)) {
                if (other->groupId != n || !other->dtu) continue;
                if (r.proto <= 1) {
                    other->cells[ColController] = "";
                } else {
                    std::string leds = ledNumsText(other->dtu->ledMap);
                    if (!leds.empty()) other->cells[ColController] = leds;
                }
            }
        }
        if (r.lineGapChanged && r.lineGap != p.lineGap) {
            p.lineGap = r.lineGap;
            // Off is the attribute's absence: the file reads as before it existed.
            if (r.lineGap)
                setAttr(port, "linegap", "1");
            else
                port.remove_attribute("linegap");
        }
        if (r.fieldsChanged) {
            pugi::xml_node d = ConfigStore::dtuNode(port, row->caption);
            if (r.devNo != row->caption) {
                setAttr(d, "id", r.devNo.c_str());
                reg_.renameDtu(g, dtu, r.devNo);
            }
            // Compared with what the dialog showed: on a port without LED numbers
            // the cell is blank, and the stored numbers must survive other edits.
            if (r.ledNums != ledNumsText(dtu->ledMap)) {
                std::string norm = parseLedNums(r.ledNums, dtu->ledMap);
                setAttr(d, "devids", norm.c_str());
                if (p.serProto >= 2) row->cells[ColController] = norm;
            }
            if (r.comment != row->cells[ColComment]) {
                row->cells[ColComment] = r.comment;
                setAttr(d, "cmt", r.comment.c_str());
            }
        }
    }
    saveSelection();
}

void Manager::setChecked(DtuId id, bool checked) {
    RegGuard g(reg_.mutex());
    if (Row* row = reg_.row(g, id)) reg_.setChecked(g, row, checked);
}

void Manager::VSPListViewClick(DtuId id) {
    RegGuard g(reg_.mutex());
    Row* row = reg_.row(g, id);
    if (row && reg_.port(g, row->groupId).serProto != 0) btnSelectAllEnabled = true;
}

void Manager::BtnSelectAllClick(DtuId first) {
    RegGuard g(reg_.mutex());
    Row* row = reg_.row(g, first);
    if (!row || reg_.port(g, row->groupId).serProto == 0) return;
    for (auto& r : reg_.rows(g))
        if (r->groupId == row->groupId) reg_.setChecked(g, r.get(), true);
}

void Manager::BtnDeselectAllClick(DtuId first) {
    RegGuard g(reg_.mutex());
    Row* row = reg_.row(g, first);
    if (!row) return;
    const int group = row->groupId;
    for (auto& r : reg_.rows(g))
        if (r->groupId == group) reg_.setChecked(g, r.get(), false);
}
