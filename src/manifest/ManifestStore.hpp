// Saves, loads and removes stored manifests by id (the program stores TransferManifest by transfer id). The
// transfer manager calls Load under its own lock, the transfers call Save and Remove from their own
// threads; the store takes no lock and calls only its file factory. Failures are reported by returning
// false: nothing is thrown, logged or shown.
#pragma once

#include <string>

#include "manifest/ManifestStoreImpl.hpp"

namespace halcyne {

template <typename T>
class ManifestStore {
public:
    virtual ~ManifestStore() = default;
    // True when the manifest was loaded; on false it may be partly overwritten and is not to be used.
    virtual bool Load(const std::string& id, T& manifest) = 0;
    // True when the manifest was stored; an existing manifest of the id is never overwritten.
    virtual bool Save(const std::string& id, const T& manifest) = 0;
    // True when a stored manifest was deleted.
    virtual bool Remove(const std::string& id) = 0;
};

template <typename T>
class TempFileManifestStore : public ManifestStore<T> {
public:
    bool Load(const std::string& id, T& manifest) override {
        try {
            GetImpl().Load(id, manifest);
            return true;
        } catch (...) {
            return false;
        }
    }
    bool Save(const std::string& id, const T& manifest) override {
        try {
            GetImpl().Save(id, manifest);
            return true;
        } catch (...) {
            return false;
        }
    }
    bool Remove(const std::string& id) override {
        try {
            return GetImpl().Remove(id);
        } catch (...) {
            return false;
        }
    }
    virtual TempFileManifestStoreImpl& GetImpl() = 0;
};

template <typename T>
class JsonTempFileManifestStore : public TempFileManifestStore<T> {
public:
    // folder: UTF-8, relative to the temporary directory. fileFactory is not owned and outlives the store.
    JsonTempFileManifestStore(const std::string& folder, SharedFileFactory* fileFactory)
        : impl(folder, fileFactory) {}
    TempFileManifestStoreImpl& GetImpl() override { return impl; }

    JsonTempFileManifestStoreImpl impl;
};

}  // namespace halcyne
