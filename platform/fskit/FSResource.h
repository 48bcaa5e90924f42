#pragma once

#include <string>
#include <utility>

namespace fskit {

/// What a mount names: the thing a file system probes, loads and unloads.
class FSResource {
public:
    virtual ~FSResource() = default;
    FSResource(const FSResource&) = delete;
    FSResource& operator=(const FSResource&) = delete;

protected:
    FSResource() = default;
};

/// A resource named by a URL of any scheme (mtp://serial?attempt=2); the file system interprets it.
class FSGenericURLResource final : public FSResource {
public:
    /// url is the URL's absolute string.
    explicit FSGenericURLResource(std::string url) : m_url(std::move(url)) {}
    const std::string& url() const noexcept { return m_url; }

private:
    std::string m_url;
};

/// A resource named by a file in the file system, given as a file URL's absolute string.
class FSPathURLResource final : public FSResource {
public:
    explicit FSPathURLResource(std::string url) : m_url(std::move(url)) {}
    const std::string& url() const noexcept { return m_url; }

private:
    std::string m_url;
};

} // namespace fskit
