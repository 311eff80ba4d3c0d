// A site served as the deployment guide (docs/serving-at-scale.md) lays it out: one origin nginx running
// the guide's configurations of the manifest service and of a content node (docs/nginx-manifests.conf,
// docs/nginx-node.conf) over the site folder, and Varnish caches running the guide's VCL
// (docs/varnish-cache.vcl) in front of it, each on a port of 127.0.0.1. Players reach the site through the
// caches only: every cache serves both the manifest service and the packages. Used from the test's thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/WebServers.hpp"

namespace halcyne::test {

class CachedSite {
public:
    struct Options {
        std::string site{};      // the site folder that the origin serves
        int caches = 2;          // how many caches stand in front of the origin
        int movingSeconds = 60;  // how long caches keep a moving document, in place of the guide's minute
        std::string storage = "malloc,64m";  // each cache's storage (varnishd -s)
    };

    explicit CachedSite(const Options& options);

    int CacheCount() const { return static_cast<int>(caches_.size()); }
    std::string CacheHost(int i) const { return caches_.at(i)->Host(); }
    // The origin's own ports, for looking at what it sends (players never go there).
    std::string OriginManifestHost() const;
    std::string OriginNodeHost() const;
    NginxServer& Origin() { return *origin_; }

    // A file of the guide (docs/<name>) as it stands in the source tree.
    static std::string GuideFile(const std::string& name);
    // The guide's configurations with the values of this site: `listen` on "@PORT@", `root` the site,
    // the moving documents' minute replaced; the VCL's origins at `manifests` and `packages` (host:port).
    static std::string ManifestServiceConfig(const std::string& site, int movingSeconds);
    static std::string NodeConfig(const std::string& site);
    static std::string CacheVcl(const std::string& manifests, const std::string& packages);

private:
    std::unique_ptr<NginxServer> origin_;
    std::vector<std::unique_ptr<VarnishServer>> caches_;
};

}  // namespace halcyne::test
