# Varnish as a cache in front of a Halcyne site: one cache serves both the manifest service and a content
# node, or either, and passes what it does not hold to the origin servers below (nginx with
# docs/nginx-manifests.conf and docs/nginx-node.conf, or one server with both). How long it keeps a
# document is the origin's Cache-Control; Serving at scale (docs/serving-at-scale.md) explains the rules.
# Run it as: varnishd -a :80 -f /etc/varnish/halcyne.vcl -s malloc,4G (enough memory for the packages
# that players fetch at once).
vcl 4.1;

backend manifests {
    .host = "manifests-origin.studio.example";
    .port = "80";
}

backend packages {
    .host = "packages-origin.studio.example";
    .port = "80";
    # A large file comes through at the origin's pace; the first byte, not the whole, is waited for.
    .first_byte_timeout = 30s;
    .between_bytes_timeout = 30s;
}

sub vcl_recv {
    if (req.method != "GET" && req.method != "HEAD") {
        return (synth(405));
    }
    # The site has no query strings; one would only split the cache.
    set req.url = regsub(req.url, "\?.*$", "");
    if (req.url ~ "^/packages/") {
        set req.backend_hint = packages;
    } elsif (req.url ~ "^/(manifests|nodes)/") {
        set req.backend_hint = manifests;
        # The updater asks for a fresh copy (Cache-Control: no-cache) when a document does not fit its
        # signature file, or is older than one it accepted before: the two were cached at different times
        # (or by different caches). The copy is fetched from the origin and replaces the cached one.
        if (req.http.Cache-Control ~ "(?i)no-cache" || req.http.Pragma ~ "(?i)no-cache") {
            set req.hash_always_miss = true;
        }
    } else {
        return (synth(404));
    }
    # Nothing of the site depends on who asks.
    unset req.http.Cookie;
    unset req.http.Authorization;
    return (hash);
}

sub vcl_backend_response {
    # A missing file is not kept for long: it may be there a moment later.
    if (beresp.status == 404) {
        set beresp.ttl = 5s;
        set beresp.grace = 0s;
        return (deliver);
    }
    # A moving document is never served past its time while the origin is asked again: a player gets the
    # new version as soon as the cache time has passed.
    if (bereq.url ~ "^/(manifests|nodes)/") {
        set beresp.grace = 0s;
    }
    # Package files are fetched whole from the origin, whatever range the first player asked for, and
    # streamed to every waiting player as they arrive; ranges are then served from the cache.
    if (bereq.url ~ "^/packages/") {
        set beresp.do_stream = true;
    }
}
