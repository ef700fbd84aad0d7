#include "CompoundFile.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-input.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-output.h>

namespace orvik::test {
namespace {

struct Unref {
    void operator()(void* object) const { g_object_unref(object); }
};
template <class T>
using GPtr = std::unique_ptr<T, Unref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};

[[noreturn]] void fail(const std::string& what, GError* error) {
    std::unique_ptr<GError, ErrorFree> owned(error);
    throw std::runtime_error(what + (error ? std::string(": ") + error->message : std::string()));
}

void writeChildren(GsfOutfile* dir, const CfbNode& node, const std::string& path) {
    for (const CfbNode& child : node.children) {
        GPtr<GsfOutput> out(gsf_outfile_new_child(dir, child.name.c_str(), child.storage));
        if (!out) fail("cannot add " + child.name + " to " + path, nullptr);
        if (child.storage) {
            gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out.get()), child.clsid.data());
            writeChildren(GSF_OUTFILE(out.get()), child, path + "/" + child.name);
        } else if (!child.bytes.empty() && !gsf_output_write(out.get(), child.bytes.size(),
                                                             reinterpret_cast<const guint8*>(child.bytes.data()))) {
            fail("cannot write " + path + "/" + child.name, nullptr);
        }
        // The writer lays a large stream's sectors down as it goes: one open stream at a time.
        if (!gsf_output_close(out.get())) fail("cannot close " + path + "/" + child.name, nullptr);
    }
}

void readChildren(GsfInfile* dir, CfbNode& node, const std::string& path) {
    int count = gsf_infile_num_children(dir);
    for (int i = 0; i < count; ++i) {
        GPtr<GsfInput> input(gsf_infile_child_by_index(dir, i));
        if (!input) fail("cannot open child " + std::to_string(i) + " of " + path, nullptr);
        CfbNode child;
        child.name = gsf_infile_name_by_index(dir, i);
        GsfInfile* childDir = GSF_INFILE(input.get());
        if (gsf_infile_num_children(childDir) >= 0) {
            child.storage = true;
            gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(input.get()), child.clsid.data());
            readChildren(childDir, child, path + "/" + child.name);
        } else {
            child.bytes.resize(static_cast<size_t>(gsf_input_size(input.get())));
            if (!child.bytes.empty() &&
                !gsf_input_read(input.get(), child.bytes.size(), reinterpret_cast<guint8*>(child.bytes.data())))
                fail("cannot read " + path + "/" + child.name, nullptr);
        }
        node.children.push_back(std::move(child));
    }
}

std::vector<const CfbNode*> byName(const std::vector<CfbNode>& children) {
    std::vector<const CfbNode*> out;
    for (const CfbNode& child : children) out.push_back(&child);
    std::sort(out.begin(), out.end(), [](const CfbNode* a, const CfbNode* b) { return a->name < b->name; });
    return out;
}

bool sameElement(const CfbNode& a, const CfbNode& b) {
    if (a.storage != b.storage || a.bytes != b.bytes || a.clsid != b.clsid) return false;
    if (a.children.size() != b.children.size()) return false;
    auto left = byName(a.children), right = byName(b.children);
    for (size_t i = 0; i < left.size(); ++i)
        if (left[i]->name != right[i]->name || !sameElement(*left[i], *right[i])) return false;
    return true;
}

void print(std::ostream& out, const CfbNode& node, const std::string& path) {
    out << "\n  " << (path.empty() ? "/" : path);
    if (node.storage) {
        out << " (storage, class id";
        for (uint8_t b : node.clsid) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", b);
            out << hex;
        }
        out << ")";
        for (const CfbNode* child : byName(node.children)) print(out, *child, path + "/" + child->name);
    } else {
        uint32_t digest = 2166136261u;  // FNV-1a: enough to tell contents apart in a message
        for (unsigned char c : node.bytes) digest = (digest ^ c) * 16777619u;
        out << " (" << node.bytes.size() << " bytes, digest " << std::hex << digest << std::dec << ")";
    }
}

template <class Node>
Node* findIn(Node& node, std::string_view path) {
    Node* at = &node;
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view name = path.substr(0, slash);
        auto it = std::find_if(at->children.begin(), at->children.end(),
                               [&](const CfbNode& child) { return child.name == name; });
        if (it == at->children.end()) return nullptr;
        at = &*it;
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return at;
}

}  // namespace

const CfbNode* CfbNode::find(std::string_view path) const { return findIn(*this, path); }
CfbNode* CfbNode::find(std::string_view path) { return findIn(*this, path); }

bool operator==(const CfbNode& a, const CfbNode& b) { return sameElement(a, b); }

std::ostream& operator<<(std::ostream& out, const CfbNode& node) {
    print(out, node, "");
    return out;
}

CfbNode cfbRoot(std::vector<CfbNode> children, CfbClassId clsid) {
    return CfbNode{"Root Entry", true, {}, clsid, std::move(children)};
}

CfbNode cfbStorage(std::string name, std::vector<CfbNode> children, CfbClassId clsid) {
    return CfbNode{std::move(name), true, {}, clsid, std::move(children)};
}

CfbNode cfbStream(std::string name, std::string bytes) {
    return CfbNode{std::move(name), false, std::move(bytes), {}, {}};
}

void writeCompoundFile(const std::string& path, const CfbNode& root) {
    GError* error = nullptr;
    GPtr<GsfOutput> sink(gsf_output_stdio_new(path.c_str(), &error));
    if (!sink) fail("cannot create " + path, error);
    GPtr<GsfOutfile> outfile(gsf_outfile_msole_new(sink.get()));
    if (!outfile) fail("cannot start a compound file in " + path, nullptr);
    gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(outfile.get()), root.clsid.data());
    writeChildren(outfile.get(), root, "");
    if (!gsf_output_close(GSF_OUTPUT(outfile.get()))) fail("cannot finish " + path, nullptr);
}

CfbNode readCompoundFile(const std::string& path) {
    GError* error = nullptr;
    GPtr<GsfInput> input(gsf_input_stdio_new(path.c_str(), &error));
    if (!input) fail("cannot open " + path, error);
    GPtr<GsfInfile> infile(gsf_infile_msole_new(input.get(), &error));
    if (!infile) fail(path + " is not a compound file", error);
    CfbNode root = cfbRoot({});
    gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(infile.get()), root.clsid.data());
    readChildren(infile.get(), root, "");
    return root;
}

}  // namespace orvik::test
