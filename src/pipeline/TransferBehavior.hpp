// The transfer-independent configuration and services that every work of a transfer reaches through its
// transfer work interface. Built once by the engine and copied by value; the pointers are not owned (the
// engine owns the services and outlives every transfer), and copies are read on any thread.
#pragma once

#include "common/EngineSettings.hpp"

namespace halcyne {

class HttpSessionFactory;
class HttpRequestFactory;
class SharedFileFactory;
class HttpPackageManifestFactory;
class HttpNodeListManifestFactory;
class TransferManager;
class TransferChangeSignal;
class TransferOptimizer;
class EventManager;
class WorkLogManager;
class WorkManager;

class TransferBehavior {
public:
    TransferBehavior() = default;
    TransferBehavior(const TransferBehavior&) = default;
    TransferBehavior& operator=(const TransferBehavior&) = default;
    virtual ~TransferBehavior() = default;

    EngineSettings settings;
    HttpSessionFactory* sessionFactory = nullptr;  // where each transfer gets its HTTP session
    HttpRequestFactory* requestFactory = nullptr;
    SharedFileFactory* sharedFileFactory = nullptr;
    // The manifest factories of the HTTP kind, so that the manifest works can fetch through the transfer's
    // session (and cancel a fetch in flight).
    HttpPackageManifestFactory* packageManifestFactory = nullptr;
    HttpNodeListManifestFactory* nodeListManifestFactory = nullptr;
    TransferManager* transferManager = nullptr;
    TransferOptimizer* optimizer = nullptr;
    EventManager* eventManager = nullptr;      // the analytics event manager
    WorkLogManager* workLogManager = nullptr;  // the work log manager
    WorkManager* workManager = nullptr;        // the manager that runs transfer works
    // Told of every change of a transfer's state or error, once its event has been fired (may be empty).
    TransferChangeSignal* changeSignal = nullptr;
};

}  // namespace halcyne
