// The window's changes to ports and DTUs: records, rows and Config.xml are
// kept in step, and the document is saved after each action.
#include <cstring>

#include "app/Manager.h"

namespace {
pugi::xml_node dtuNode(pugi::xml_node port, const std::string& id) {
    for (pugi::xml_node d : port.children("DTU"))
        if (id == d.attribute("id").value()) return d;
    return {};
}
}  // namespace

void Manager::saveSelection() {
    {
        std::lock_guard<std::mutex> lk(regLock_);
        for (pugi::xml_node port : doc_.document_element().children("CommPort")) {
            int n = strToIntDef(port.attribute("port").value(), -1);
            if (n <= 0 || n >= PORT_COUNT) continue;
            for (pugi::xml_node d : port.children("DTU")) {
                const char* id = d.attribute("id").value();
                for (_tagDTU* dtu = vsp_[static_cast<size_t>(n)].dtuHead.get(); dtu; dtu = dtu->next.get())
                    if (std::strcmp(dtu->devNo, id) == 0) {
                        setAttr(d, "sel", dtu->selected ? "1" : "0");
                        break;
                    }
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

Row* Manager::btnCreatePortDtuClick(const std::string& devNo, int n, const std::string& comment) {
    {
        std::lock_guard<std::mutex> lk(regLock_);
        for (auto& r : rows_)
            if (r->caption == devNo) return r.get();
    }
    if (n < 1 || n >= PORT_COUNT) return nullptr;
    // A number that does not fit is refused before anything is made.
    if (!devNoFits(devNo)) {
        error("Create dtu error, please check!");
        return nullptr;
    }
    const bool made = !portOpen(n);
    if (made && !openPort(n, 0, 1, 0)) {
        msg_.show("Create virtual serial port error, please check your computer.", "Warning", MsgIcon::Exclamation,
                  MsgButtons::Ok);
        return nullptr;
    }
    pugi::xml_node port = portNode(n);
    if (made) {
        // A port that failed to open at start-up left elements with its old
        // protocol and DTUs; the port made now is described afresh.
        for (pugi::xml_node root = doc_.document_element(); port; port = portNode(n)) root.remove_child(port);
        port = doc_.document_element().append_child("CommPort");
        port.append_attribute("port").set_value(n);
        port.append_attribute("netproto").set_value("0");
        port.append_attribute("appproto").set_value("1");
        port.append_attribute("serproto").set_value("0");
        port.append_attribute("cmt").set_value("");
    }
    bool sel;
    {
        std::lock_guard<std::mutex> lk(regLock_);
        const _tagVSP& p = vsp_[static_cast<size_t>(n)];
        sel = !p.dtuHead || p.serProto != 0;
    }
    _tagDTU* dtu = createDtu(n, devNo, "", "", comment, sel);
    pugi::xml_node d = port.append_child("DTU");
    d.append_attribute("id").set_value(dtu->devNo);
    d.append_attribute("ip").set_value("");
    d.append_attribute("cmt").set_value(comment.c_str());
    d.append_attribute("devids").set_value("");
    d.append_attribute("sel").set_value(dtu->selected ? "1" : "0");
    saveConfig();
    return nullptr;
}

void Manager::BtnDelDtuClick(const std::vector<Row*>& selected) {
    if (selected.empty()) return;
    if (msg_.show("Are you sure you want delete all selected DTUs?", "Warning", MsgIcon::Exclamation,
                  MsgButtons::YesNo) != MsgAnswer::Yes)
        return;
    for (Row* row : selected) {
        _tagDTU* dtu = row->dtu;
        int n = dtu->portNo;
        bool only;
        std::string id;
        {
            std::lock_guard<std::mutex> lk(regLock_);
            const _tagVSP& p = vsp_[static_cast<size_t>(n)];
            only = p.dtuHead.get() == dtu && !dtu->next;
            id = dtu->devNo;
        }
        pugi::xml_node port = portNode(n);
        if (only)
            doc_.document_element().remove_child(port);
        else
            port.remove_child(dtuNode(port, id));
        removeDtu(dtu);
    }
    saveConfig();
}

void Manager::applyEdit(Row* row, const PropResult& r) {
    if (!r.protoChanged && !r.fieldsChanged) return;
    // A number that does not fit is refused as creating refuses it, and the
    // edit is not applied by halves.
    if (r.fieldsChanged && !devNoFits(r.devNo)) {
        error("Create dtu error, please check!");
        return;
    }
    _tagDTU* dtu = row->dtu;
    int n = row->groupId;
    pugi::xml_node port = portNode(n);
    {
        std::lock_guard<std::mutex> lk(regLock_);
        _tagVSP& p = vsp_[static_cast<size_t>(n)];
        if (r.protoChanged && static_cast<uint32_t>(r.proto) != p.serProto) {
            p.serProto = static_cast<uint32_t>(r.proto);
            setAttr(port, "serproto", std::to_string(r.proto).c_str());
            if (r.proto == 0) {
                for (auto& other : rows_)
                    if (other->groupId == n) setCheckedLocked(other.get(), false);
                btnSelectAllEnabled = false;
            } else {
                btnSelectAllEnabled = true;
            }
            for (auto& other : rows_) {
                if (other->groupId != n || !other->dtu) continue;
                if (r.proto <= 1) {
                    other->cells[ColController] = "";
                } else {
                    std::string leds = ledNumsText(other->dtu->ledMap);
                    if (!leds.empty()) other->cells[ColController] = leds;
                }
            }
        }
        if (r.fieldsChanged) {
            pugi::xml_node d = dtuNode(port, row->caption);
            if (r.devNo != row->caption) {
                row->caption = r.devNo;
                setAttr(d, "id", r.devNo.c_str());
                std::memset(dtu->devNo, 0, sizeof dtu->devNo);
                std::memcpy(dtu->devNo, r.devNo.data(), r.devNo.size());
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
