#include "support/CachedSite.hpp"

#include <stdexcept>

#include "support/TestSupport.hpp"

namespace halcyne::test {

namespace {

// `text` with every `from` replaced by `to`; a guide file that no longer holds `from` is a test that would
// no longer run what the guide says, so that throws.
std::string Substitute(std::string text, const std::string& from, const std::string& to) {
    std::size_t at = text.find(from);
    if (at == std::string::npos) {
        throw std::runtime_error("the guide's file no longer holds \"" + from + "\"");
    }
    for (; at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string ServedFrom(std::string config, const std::string& site) {
    config = Substitute(std::move(config), "listen 80;", "listen 127.0.0.1:@PORT@;");
    return Substitute(std::move(config), "root /srv/halcyne/site;", "root " + site + ";");
}

std::string PortOf(const std::string& host) {
    return host.substr(host.rfind(':') + 1);
}

}  // namespace

std::string CachedSite::GuideFile(const std::string& name) {
    return ReadFileText(SourceDir() + "/docs/" + name);
}

std::string CachedSite::ManifestServiceConfig(const std::string& site, int movingSeconds) {
    return Substitute(ServedFrom(GuideFile("nginx-manifests.conf"), site), "max-age=60",
                      "max-age=" + std::to_string(movingSeconds));
}

std::string CachedSite::NodeConfig(const std::string& site) {
    return ServedFrom(GuideFile("nginx-node.conf"), site);
}

std::string CachedSite::CacheVcl(const std::string& manifests, const std::string& packages) {
    std::string vcl = GuideFile("varnish-cache.vcl");
    vcl = Substitute(std::move(vcl), "\"manifests-origin.studio.example\";\n    .port = \"80\"",
                     "\"127.0.0.1\";\n    .port = \"" + PortOf(manifests) + "\"");
    return Substitute(std::move(vcl), "\"packages-origin.studio.example\";\n    .port = \"80\"",
                      "\"127.0.0.1\";\n    .port = \"" + PortOf(packages) + "\"");
}

CachedSite::CachedSite(const Options& options) {
    origin_ = std::make_unique<NginxServer>(
        options.site, NginxOptions{.servers = {ManifestServiceConfig(options.site, options.movingSeconds),
                                               NodeConfig(options.site)}});
    const std::string vcl = CacheVcl(OriginManifestHost(), OriginNodeHost());
    for (int i = 0; i < options.caches; ++i) {
        caches_.push_back(std::make_unique<VarnishServer>(vcl, options.storage));
    }
}

std::string CachedSite::OriginManifestHost() const {
    return "127.0.0.1:" + std::to_string(origin_->Ports().at(0));
}

std::string CachedSite::OriginNodeHost() const {
    return "127.0.0.1:" + std::to_string(origin_->Ports().at(1));
}

}  // namespace halcyne::test
