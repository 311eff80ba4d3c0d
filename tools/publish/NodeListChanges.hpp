// A partner's node list as the publishing tool changes it: a node argument of the command line read as a
// node, the list that the site holds read back through the engine's own reader, and the changes applied to
// it. A list is replaced only when that is asked for, so that a node meant to be added never wipes out the
// others. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "SitePublisher.hpp"

namespace halcyne::publish {

// "[ID=][https://|http://]HOST:PORT[/PATH]" as a node, with `defaultId` when no ID is written (the PATH, when
// written, starts at the first '/' after the scheme). std::invalid_argument naming the argument when the id
// or the host is empty.
NodeInfo ParseNodeArgument(const std::string& text, const std::string& defaultId);

// The nodes of a node list document, as the engine reads them. PublishError with the engine's reason when it
// refuses the document.
std::vector<NodeInfo> ReadNodeListXml(const std::string& xml);

// The node list a site holds for a partner.
struct NodeListState {
    bool exists = false;
    std::vector<NodeInfo> nodes{};
    std::string unreadable{};  // why the list in place cannot be read; "" when it can
};

// The node list document at `path` (nodes/<partner>.xml of a site): absent, read, or unreadable and why.
NodeListState ReadNodeListState(const std::string& path);

// What the command line asks of a partner's node list. --node gives a whole list; --add-node and
// --remove-node change single nodes of the list in place and do not go with --node.
struct NodeChanges {
    std::vector<NodeInfo> replacement{};  // --node, in order
    bool replace = false;                 // --replace-nodes: replacing a list in place is meant
    std::vector<NodeInfo> added{};        // --add-node, in order; an empty id becomes the first free "nodeN"
    std::vector<std::string> removed{};   // --remove-node: a node id, or a host as the list writes it

    bool Empty() const { return replacement.empty() && added.empty() && removed.empty(); }
};

// The list after the changes. PublishError naming the culprit: a list in place replaced without `replace`;
// single nodes changed in a list that does not exist or that the engine does not read; a node to remove that
// is not in the list, or a host that names more than one node; a node to add whose id is taken or whose host
// and path are in the list already; the same id twice; and a list left without nodes.
std::vector<NodeInfo> ApplyNodeChanges(const std::string& partnerId, const NodeListState& current,
                                       const NodeChanges& changes);

// The list for people: one line per node ("  ID HOST PATH", and " weight W" when W is not 1), or a line
// that says there is none, or why it cannot be read.
std::string FormatNodes(const NodeListState& list);

}  // namespace halcyne::publish
