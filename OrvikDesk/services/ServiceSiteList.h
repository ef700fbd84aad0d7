// The service sites the web page can show, kept in the profile under ServiceURL: one subkey per
// site (an eight-character or longer name), with the values "Value" (its URL) and "Description".
#pragma once

#include <string>
#include <vector>

namespace orvikdesk {

class CServiceSiteList {
public:
    struct Site {
        std::string name;  // the subkey
        std::string url;
        std::string description;
    };

    CServiceSiteList();  // reads the registry

    void Load();
    bool FindName(const std::string& name) const;
    // A new site named "%08d" of the smallest unused number; returns its index.
    size_t Add(const std::string& url, const std::string& description);
    void Modify(size_t index, const std::string& url, const std::string& description);
    // Writes every site; false when one could not be written.
    bool Save() const;

    const std::vector<Site>& sites() const { return sites_; }
    const std::string& defaultName() const { return defaultName_; }
    // The default site's URL; empty when there is none.
    std::string defaultUrl() const;

private:
    std::vector<Site> sites_;
    std::string defaultName_;
};

}  // namespace orvikdesk
