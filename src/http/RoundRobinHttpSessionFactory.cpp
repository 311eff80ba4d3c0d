#include "http/RoundRobinHttpSessionFactory.hpp"

#include "http/RoundRobinHttpRequestPool.hpp"

namespace halcyne {

std::shared_ptr<HttpSession> RoundRobinHttpSessionFactory::CreateSession() {
    return std::make_shared<HttpSession>(std::make_shared<RoundRobinHttpRequestPool>());
}

}  // namespace halcyne
