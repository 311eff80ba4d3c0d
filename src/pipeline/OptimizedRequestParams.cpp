#include "pipeline/OptimizedRequestParams.hpp"

#include <algorithm>

#include "pipeline/TransferSharedMapData.hpp"

namespace halcyne {

OptimizedRequestParams::OptimizedRequestParams(std::shared_ptr<NodeListManifest> nodeList,
                                               TransferParams transferParams,
                                               std::shared_ptr<TransferSharedMapData> chunkData)
    : nodeList(std::move(nodeList)),
      transferParams(std::move(transferParams)),
      ChunkData(std::move(chunkData)) {
    if (this->nodeList) {
        candidates = this->nodeList->GetNodes();
    }
}

void OptimizedRequestParams::RemoveSelectedNode() {
    const auto found = std::find(candidates.begin(), candidates.end(), SelectedNode);
    if (found == candidates.end()) {
        return;
    }
    candidates.erase(found);
    if (candidates.empty() && nodeList) {
        candidates = nodeList->GetNodes();
    }
}

}  // namespace halcyne
