// How the template and the processor reach the tree of a document of the service.
#pragma once

#include "engine/budget.h"
#include "engine/handles.h"
#include "xmlservice/msxml.h"

#include <memory>
#include <shared_mutex>
#include <string>

namespace xmlservice {

// What one load of a document made. The document and everything reading its tree share it, so
// that a later load, on any thread, never frees a tree that is still being read.
struct LoadedTree {
    LoadedTree(DocumentHandle tree, std::string url, std::string name, std::string folder, BudgetShare share) noexcept;
    // Frees the tree; the memory of a large one goes back to the system at once.
    ~LoadedTree();
    LoadedTree(const LoadedTree&) = delete;
    LoadedTree& operator=(const LoadedTree&) = delete;

    DocumentHandle tree;
    // The file: URL it was loaded from; empty for a document loaded from text.
    const std::string url;
    // The file as the caller named it in load.
    const std::string name;
    // The real path of the folder holding the file as the caller named it (a link in it not
    // followed); empty for a document loaded from text.
    const std::string folder;
    // The file's share of the memory budget, for as long as the tree lives.
    const BudgetShare share;
    // Readers of the tree hold it shared. A transformation whose stylesheet has key() patterns
    // holds it alone, since libxslt then marks the tree's nodes while it runs.
    mutable std::shared_mutex readers;
};

// Reached through QueryInterface, so that a node made elsewhere is never taken for a document
// of the service.
struct IDocumentAccess : IUnknown {
    using base_interface = IUnknown;
    // The document's current tree, which stays valid for as long as `tree` holds it; null when
    // nothing is loaded.
    virtual HRESULT GetTree(std::shared_ptr<const LoadedTree>* tree) noexcept = 0;
};

}  // namespace xmlservice

COM_DECLARE_INTERFACE_ID(xmlservice::IDocumentAccess, 0x6B1F3C2E, 0x4D7A, 0x4E95, 0x9A, 0x31, 0x5C, 0x2E, 0x8F, 0x14,
                         0xA7, 0x60)
