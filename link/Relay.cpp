// Relay logon, its repetition until answered, and the version check.
#include "app/Manager.h"
#include "link/LinkProtocol.h"

void Manager::credentials(std::string& user, std::string& pwd) const {
    std::lock_guard<std::mutex> lk(regLock_);
    user = usrName;
    pwd = usrPwd;
}

void Manager::sendToRelay(const uint8_t* data, int len) {
    if (relayRefused) return;  // an incompatible relay gets nothing more
    if (auto s = socket()) s->SendTo(relayAddr, data, len);
}

void Manager::sendRelayLogon() {
    uint8_t block[CREDENTIAL_SIZE];
    std::string user, pwd;
    credentials(user, pwd);
    buildCredentials(block, RelayLogon, user, pwd);
    sendToRelay(block, CREDENTIAL_SIZE);
}

void Manager::TimerLogonTOTimer() {
    ++logonTicks;
    if (!logonOk) {
        if (logonTicks > 3) {
            sendRelayLogon();
            logonTicks = 0;
        }
        return;
    }
    timerLogonTOEnabled = false;
    if (serverVersion > 256) {
        relayRefused = true;
        msg_.show(std::string("Old version! Please use newer program, download URL:\r\n ") + VSP_DOWNLOAD_URL,
                  "Version incompatible", MsgIcon::Warning, MsgButtons::Ok);
        return;
    }
    statusText = "Connect to server OK!";
    timerRuningEnabled = true;
}

int Manager::sendToDtu(_tagDTU* dtu, const uint8_t* data, int len) {
    VDIPAddress to;
    {
        std::lock_guard<std::mutex> lk(regLock_);
        if (vsp_[static_cast<size_t>(dtu->portNo)].netProto != 0) return 0;
        to = dtu->addr;
    }
    auto s = socket();
    if (!s) return 0;
    int n = s->SendTo(to, data, len);
    if (n >= 0) dtu->txBytes += static_cast<uint32_t>(n);
    return n;
}
