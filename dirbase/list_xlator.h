// Shared shape of the list translators: a container whose values are the
// nodes of a singly linked list, each written as an object of the node's id.
// Deleting a list's head node deletes the whole list (each node class frees
// the rest of its chain without recursion).
#ifndef DRV_DIRBASE_LIST_XLATOR_H
#define DRV_DIRBASE_LIST_XLATOR_H

#include "dirbase/message.h"
#include "dirbase/translatable.h"

template <class Node>
int encodeList(MessageBase* m, unsigned int nodeId, const Node* head) {
    for (const Node* n = head; n != nullptr; n = n->next)
        if (m->writeObject(nodeId, n) != 0) return -1;
    return m->getError() != 0 ? -1 : 0;
}

// Reads nodes while the container has values; null objects are skipped.
template <class Node>
int decodeList(MessageBase* m, unsigned int nodeId, Translatable** obj) {
    *obj = nullptr;
    Node* head = nullptr;
    Node* tail = nullptr;
    while (m->hasNext()) {
        Translatable* t;
        if (m->readObject(nodeId, &t) != 0) {
            delete head;
            return -1;
        }
        if (t == nullptr) continue;
        Node* n = static_cast<Node*>(t);
        if (tail != nullptr)
            tail->next = n;
        else
            head = n;
        tail = n;
    }
    if (m->getError() != 0) {
        delete head;
        return -1;
    }
    *obj = head;
    return 0;
}

// Frees the nodes after n without recursion; for node destructors.
template <class Node>
void deleteChain(Node* n) {
    Node* rest = n->next;
    n->next = nullptr;
    while (rest != nullptr) {
        Node* after = rest->next;
        rest->next = nullptr;
        delete rest;
        rest = after;
    }
}

template <class Node>
Node* lastOf(Node* head) {
    while (head != nullptr && head->next != nullptr) head = head->next;
    return head;
}

#endif
