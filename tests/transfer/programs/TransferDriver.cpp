// Runs one transfer of package K of partner P through a DownloadEngine and exits 0 when it is complete.
//
//   transfer_driver <manifest host> <destination> <id file>
//
// Without an id in the id file, it starts a new transfer into the destination and writes the id to the file
// once the transfer has started (and so is stored). With one, it restores that transfer, initializes it and
// starts it into its stored destination. Exits 1 when the transfer fails or ends otherwise.
#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include "transfer/DownloadEngine.hpp"

using namespace halcyne;

namespace {

TransferStatus WaitFor(DownloadEngine& engine, const std::string& id, TransferState state) {
    for (;;) {
        const TransferStatus status = engine.GetTransferStatus(id);
        if (status.state == state || status.error != TransferError::None ||
            status.state == TransferState::Absent || status.state == TransferState::Cancelled) {
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: transfer_driver <manifest host> <destination> <id file>\n";
        return 2;
    }
    EngineSettings settings;
    settings.manifestHost = argv[1];
    settings.minRequestTimeout = 2;
    settings.maxConnectTimeout = 2;
    const std::string destination = argv[2];
    const std::string idFile = argv[3];
    std::string id;
    std::ifstream(idFile) >> id;

    DownloadEngine engine(settings);
    if (id.empty()) {
        id = engine.StartTransfer("P", "K", "?").transferId;
        if (WaitFor(engine, id, TransferState::Initialized).state != TransferState::Initialized ||
            engine.StartTransferInto(id, destination).state != TransferState::Transferring) {
            return 1;
        }
        std::ofstream(idFile) << id << "\n";
    } else {
        const auto transfer = engine.GetTransferManager().GetTransfer(id, engine.GetBehavior());
        if (!transfer) {
            return 1;
        }
        transfer->Initialize();
        if (WaitFor(engine, id, TransferState::Initialized).state != TransferState::Initialized ||
            engine.StartTransferInto(id, "?").state != TransferState::Transferring) {
            return 1;
        }
    }
    return WaitFor(engine, id, TransferState::Complete).state == TransferState::Complete ? 0 : 1;
}
