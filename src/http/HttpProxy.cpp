#include "http/HttpProxy.hpp"

namespace halcyne {

std::string EmptyHttpProxy::GetProxy(const HttpRequestParams&) {
    return {};
}

std::shared_ptr<HttpProxy> EmptyHttpProxyFactory::Create() {
    return std::make_shared<EmptyHttpProxy>();
}

}  // namespace halcyne
