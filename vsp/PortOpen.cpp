// Opening and closing the virtual ports of the port table.
#include "app/Manager.h"

bool Manager::portOpen(int n) const {
    if (n <= 0 || n >= PORT_COUNT) return false;
    std::lock_guard<std::mutex> lk(regLock_);
    return vsp_[static_cast<size_t>(n)].vsPortAx != nullptr;
}

bool Manager::portInUse(int n) const {
    std::shared_ptr<IVirtualPort> port;
    if (n > 0 && n < PORT_COUNT) {
        std::lock_guard<std::mutex> lk(regLock_);
        port = vsp_[static_cast<size_t>(n)].vsPortAx;
    }
    return port && port->GetBoolProperty(7);
}

uint32_t Manager::portSerProto(int n) const {
    if (n <= 0 || n >= PORT_COUNT) return 0;
    return vsp_[static_cast<size_t>(n)].serProto;
}

bool Manager::openPort(int n, uint32_t netProto, uint32_t appProto, uint32_t serProto) {
    if (n <= 0 || n >= PORT_COUNT) return false;
    if (portOpen(n)) return true;
    std::shared_ptr<IVirtualPort> port = opts_.makePort ? opts_.makePort() : nullptr;
    std::string name = "COM" + std::to_string(n);
    if (!port || (!port->CreatePort(name) && !port->Attach(name))) return false;
    port->SetStrictBaudrate(false);
    _tagVSP& rec = vsp_[static_cast<size_t>(n)];
    {
        std::lock_guard<std::mutex> lk(regLock_);
        rec.vsPortAx = port;
        rec.owner = this;
        rec.netProto = netProto;
        rec.appProto = appProto;
        rec.serProto = serProto;
        rec.dtuHead.reset();
        rec.stopEvent = std::make_unique<VDEvent>(true);
        addGroupLocked(n);
    }
    rec.readerThread.Start(&portReader, &rec);
    return true;
}

void Manager::closePort(int n) {
    if (n < 0 || n >= PORT_COUNT) return;
    _tagVSP& rec = vsp_[static_cast<size_t>(n)];
    // Only this thread opens and closes ports, so the event stays put while
    // the reader is told to stop and waited for.
    if (rec.stopEvent) {
        rec.stopEvent->Set();
        rec.readerThread.Wait(VDThread::INFINITE);
        std::lock_guard<std::mutex> lk(regLock_);
        rec.stopEvent.reset();
    }
    std::shared_ptr<IVirtualPort> port;
    {
        std::lock_guard<std::mutex> lk(regLock_);
        port.swap(rec.vsPortAx);
    }
    if (port) port->Delete();
}
