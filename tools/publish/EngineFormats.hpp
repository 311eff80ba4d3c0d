// The engine formats a published site must agree with: the chunk checksum the engine verifies, the chunk
// URL the engine requests, and the package manifest and node list (with their stamps) the engine reads. The
// publisher checks its output against these, never against copies of its own. Pure functions; safe on any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "manifest/DocumentStamp.hpp"
#include "manifest/PackageManifest.hpp"

namespace halcyne::publish {

// The CRC-32 of `size` bytes at `data`, continuing from `crc` (0 to start), as the chunk works compute it.
std::uint32_t ChunkCrc32(const void* data, std::size_t size, std::uint32_t crc = 0);

// Whether the engine's chunk URL for a file of a package, on a node whose path is "/packages/", names
// exactly packages/<partner>/<package>/<version>/<filePath> of the site once the server decodes it.
bool ChunkUrlCarries(const std::string& partnerId, const std::string& packageId, const std::string& versionId,
                     const std::string& filePath);

// The paths of the files that the engine reads as marked executable from a package manifest document, in
// document order. Throws std::exception, with the engine's message, when the engine refuses the document.
std::vector<std::string> MarkedExecutables(const std::string& manifestXml);

// The package manifest document as the engine loads it. Throws std::exception, with the engine's message,
// when the engine refuses the document.
std::shared_ptr<const PackageManifest> LoadPackageManifest(const std::string& manifestXml);

// The stamp that the engine reads from a package manifest document (`nodeList` false; the owner is its id)
// or a node list document. Throws std::exception, with the engine's message, when the engine refuses the
// document.
DocumentStamp ReadDocumentStamp(const std::string& xml, bool nodeList);

}  // namespace halcyne::publish
