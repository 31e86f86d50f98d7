#include "app/PortBridge.h"

bool PortBridge::portOpen(int n) const {
    if (n <= 0 || n >= PORT_COUNT) return false;
    RegGuard g(reg_.mutex());
    return reg_.port(g, n).vsPortAx != nullptr;
}

bool PortBridge::portInUse(int n) const {
    std::shared_ptr<IVirtualPort> port;
    if (n > 0 && n < PORT_COUNT) {
        RegGuard g(reg_.mutex());
        port = reg_.port(g, n).vsPortAx;
    }
    return port && port->GetBoolProperty(7);
}

uint32_t PortBridge::portSerProto(int n) const {
    if (n <= 0 || n >= PORT_COUNT) return 0;
    RegGuard g(reg_.mutex());
    return reg_.port(g, n).serProto;
}

bool PortBridge::portLineGap(int n) const {
    if (n <= 0 || n >= PORT_COUNT) return false;
    RegGuard g(reg_.mutex());
    return reg_.port(g, n).lineGap;
}

std::vector<PortBridge::PortState> PortBridge::portStates() const {
    std::vector<PortState> out(PORT_COUNT);
    RegGuard g(reg_.mutex());
    for (int n = 1; n < PORT_COUNT; ++n) {
        const _tagVSP& rec = reg_.port(g, n);
        out[static_cast<size_t>(n)].lineGap = rec.lineGap;
        // An atomic counter of the port: no lock of the port's is taken.
        if (rec.vsPortAx) out[static_cast<size_t>(n)].dropped = rec.vsPortAx->DroppedBytes();
    }
    return out;
}

void PortBridge::setLineGap(int n, bool on) {
    if (n <= 0 || n >= PORT_COUNT) return;
    RegGuard g(reg_.mutex());
    reg_.port(g, n).lineGap = on;
}

bool PortBridge::openPort(int n, uint32_t netProto, uint32_t appProto, uint32_t serProto) {
    if (n <= 0 || n >= PORT_COUNT) return false;
    if (portOpen(n)) return true;
    lastError_ = {};
    std::shared_ptr<IVirtualPort> port = makePort_ ? makePort_() : nullptr;
    std::string name = "COM" + std::to_string(n);
    if (!port || (!port->CreatePort(name) && !port->Attach(name))) {
        if (port) lastError_ = port->LastError();
        return false;
    }
    port->SetStrictBaudrate(false);
    PortReader* reader;
    {
        RegGuard g(reg_.mutex());
        _tagVSP& rec = reg_.port(g, n);
        rec.vsPortAx = port;
        rec.netProto = netProto;
        rec.appProto = appProto;
        rec.serProto = serProto;
        rec.lineGap = false;
        reg_.clearList(g, n);
        rec.reader = std::make_unique<PortReader>(*this, clock_, n, port, rec);
        reader = rec.reader.get();
        reg_.addGroup(g, n);
    }
    reader->Start();
    return true;
}

void PortBridge::closePort(int n) {
    if (n < 0 || n >= PORT_COUNT) return;
    // Only this thread opens and closes ports, so the reader stays put while
    // it is told to stop and waited for (without the lock: it may need it).
    PortReader* reader;
    {
        RegGuard g(reg_.mutex());
        reader = reg_.port(g, n).reader.get();
    }
    if (reader) reader->Stop();
    std::unique_ptr<PortReader> done;
    std::shared_ptr<IVirtualPort> port;
    {
        RegGuard g(reg_.mutex());
        _tagVSP& rec = reg_.port(g, n);
        done.swap(rec.reader);
        port.swap(rec.vsPortAx);
    }
    if (port) port->Delete();
}

void PortBridge::collectTargets(int n, bool firstOnly, int led, std::vector<ReaderTarget>& out) {
    RegGuard g(reg_.mutex());
    for (const std::shared_ptr<_tagDTU>* link = &reg_.port(g, n).dtuHead; *link; link = &(*link)->next) {
        const std::shared_ptr<_tagDTU>& d = *link;
        if (!d->selected || !d->online) continue;
        if (led >= 0 && led != 255 && !ledHas(d->ledMap, static_cast<unsigned>(led))) continue;
        out.push_back({d, d->addr, d->devNo});
        if (firstOnly) break;
    }
}
