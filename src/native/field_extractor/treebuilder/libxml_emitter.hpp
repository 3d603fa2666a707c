// soupparser's conversion (see lxml_emitter.hpp) done in libxml2 directly.
//
// lxml_emitter.* makes each node through lxml's C API, so every element gets
// a Python proxy and every text, tail and attribute dict a Python object.
// This emitter builds the same xmlDoc with the libxml2 functions that lxml's
// etree extension carries (looked up in the already loaded module, never a
// second libxml2), making the same calls in the same order as lxml does for
// soupparser's (htmlNewDoc, xmlNewDocNode, xmlNewDocText, xmlAddChild,
// xmlAddNextSibling, xmlNewProp, xmlNewDocComment, xmlNewDocPI), and
// refusing what lxml refuses on those calls. The whole document is then
// handed to lxml with etree.adopt_external_document and lxml.html's parser:
// only the nodes that are asked for get proxies.
#pragma once

#include <Python.h>

#include "chars.hpp"
#include "soup_tree.hpp"

namespace ostrel::treebuilder {

// Looks up the libxml2 functions in lxml.etree's shared object. False when
// one is missing (then only lxml_emitter can be used). Once, at module
// import, after init_lxml_emitter().
bool init_libxml_emitter();

// The element soupparser.fromstring returns for the finished `soup` (a new
// reference), or a bail-out.
PyObject* emit_libxml_tree(Soup& soup, const UnescapeTables& tables);

}  // namespace ostrel::treebuilder
