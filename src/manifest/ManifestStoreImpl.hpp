// The file side of the manifest store: fetch, parse, serialize and write manifests kept one per file under
// the user's temporary directory. The store holds no state besides its folder text and its file factory and
// takes no lock: every call opens its own file, so any number of threads call it at once. It calls only the
// file factory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "manifest/ManifestSink.hpp"
#include "manifest/ManifestSource.hpp"

namespace halcyne {

class SharedFileFactory;

class ManifestStoreImpl : public ManifestSource, public ManifestSink {};

// The manifest of id I is the file <temporary directory>/<folder>/<FileName(I)>. Ids are transfer ids:
// exactly 32 lower-case hexadecimal digits; any other id is refused before the file factory is called, so
// that no crafted id reads, creates or deletes a file anywhere else.
class TempFileManifestStoreImpl : public ManifestStoreImpl {
public:
    // folder: UTF-8, relative to the temporary directory, '/' separators. fileFactory is not owned.
    TempFileManifestStoreImpl(std::string folder, SharedFileFactory* fileFactory);

    // A stored manifest is a few short texts; a file larger than this is refused.
    static constexpr std::uint64_t MaxFileSize = 64 * 1024;

    // Appends the file's bytes (read 4096 at a time) to `into`. An invalid id, no temporary directory or a
    // missing file is ManifestLocatorException; a file larger than MaxFileSize (refused as soon as the bytes
    // read pass it, so that it is never read whole) and any other failure ManifestStreamException.
    void Fetch(const std::string& id, std::iostream& into) override;
    virtual std::string FileName(const std::string& id) = 0;

    // Creates the file (never overwriting one) with the whole text of `from`, after making sure of the
    // store's folder as CreatePrivateFolder does (missing folders made with mode 0700; a link, another user's
    // folder or one that others can write to on the way is ManifestStreamException). An invalid id or an
    // existing file is ManifestLocatorException; any other failure ManifestStreamException, and a file this
    // call created is removed again.
    void Write(std::iostream& from, const std::string& id) override;

    // Deletes the file; false for an invalid id, a missing file or a failed deletion. Never throws.
    bool Remove(const std::string& id);

    // Whether `id` is exactly 32 lower-case hexadecimal digits.
    static bool IsValidId(const std::string& id);

    const std::string& Folder() const { return folder_; }

protected:
    // The file's name relative to the temporary directory: folder, '/' unless the folder is empty or ends
    // with '/' (or the file name begins with '/'), then FileName(id).
    std::string RelativeName(const std::string& id);

private:
    const std::string folder_;
    SharedFileFactory* const fileFactory_;
};

// Manifests as JSON text: one line, every value a string (see StoreJson.hpp).
class JsonTempFileManifestStoreImpl : public TempFileManifestStoreImpl {
public:
    using TempFileManifestStoreImpl::TempFileManifestStoreImpl;

    // The stored form is one flat object of texts: objects and arrays nested in it are refused.
    static constexpr std::size_t MaxDepth = 1;

    // Any JSON object in valid UTF-8 whose members are not nested deeper than MaxDepth; anything else is
    // ManifestParseException.
    void Parse(std::iostream& from, boost::property_tree::ptree& into) override;
    // id + ".json".
    std::string FileName(const std::string& id) override;
    // The one-line form; a tree that it cannot represent (invalid UTF-8 above all) is ManifestParseException.
    void Serialize(const boost::property_tree::ptree& tree, std::iostream& into) override;
};

}  // namespace halcyne
