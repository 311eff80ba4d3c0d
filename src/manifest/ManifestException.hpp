// The exceptions that all manifest code throws, by value, to be caught by reference.
// Messages are usually empty: the type is the information. Thrown and caught on the loading thread.
#pragma once

#include <stdexcept>
#include <string>

namespace halcyne {

// Never thrown itself: its destructor is pure.
class ManifestException : public std::runtime_error {
public:
    ManifestException();
    explicit ManifestException(const std::string& message);
    ~ManifestException() override = 0;
};

// A manifest's content is missing, malformed or invalid.
class ManifestParseException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

// The chunk count of a file does not fit in 32 bits.
class ManifestOverflowException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

// A manifest cannot be located.
class ManifestLocatorException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

// The manifest service answered that it has no such document (HTTP 404 or 410): the package or node list is
// not published. The message names the URL and the status.
class ManifestNotFoundException : public ManifestLocatorException {
public:
    using ManifestLocatorException::ManifestLocatorException;
};

// A manifest's bytes cannot be read or written.
class ManifestStreamException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

// A manifest service document (or its signature file) is larger than the engine accepts; refused while it
// was received. The message names the document and the limit.
class ManifestSizeException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

// A deployment that trusts signing keys refuses the manifest: its signature is missing, malformed or made by
// no trusted key, or it lacks what a signed deployment requires. The message says which.
class ManifestTrustException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

}  // namespace halcyne
