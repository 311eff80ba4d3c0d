// Makes sessions, each over a new RoundRobinHttpRequestPool. Called from any thread.
#pragma once

#include "http/HttpSession.hpp"

namespace halcyne {

class RoundRobinHttpSessionFactory : public HttpSessionFactory {
public:
    std::shared_ptr<HttpSession> CreateSession() override;
};

}  // namespace halcyne
