// CqnDLList<T>: a doubly linked, indexable list whose nodes come from a pool that grows in
// blocks and never shrinks; removed nodes are recycled (free list, tail first out of the head).
//
// No lock of its own: the owner serialises every call. Values are stored by copy; a list of
// pointers never frees the pointees. Failures throw CqnExceptionObject with file "CqnList".
#pragma once

#include <cstdint>
#include <new>

#include "module/base/errors/exception_object.h"

template <class T>
class CqnDLList {
public:
    static constexpr std::int32_t kIndexOutOfRange = -1;
    static constexpr std::int32_t kNoEmptyElements = -2;
    static constexpr std::int32_t kItemNotFound = -3;
    static constexpr std::int32_t kGeneralError = -4;

    explicit CqnDLList(std::uint32_t blockSize = 100) : m_blockSize(blockSize ? blockSize : 1) {}
    CqnDLList(const CqnDLList&) = delete;
    CqnDLList& operator=(const CqnDLList&) = delete;
    ~CqnDLList() {
        while (m_blocks != nullptr) {
            Block* next = m_blocks->next;
            delete[] m_blocks->nodes;
            delete m_blocks;
            m_blocks = next;
        }
    }

    T& AddTail(const T& value) {
        Node* node = TakeFreeNode();
        node->value = value;
        node->next = nullptr;
        node->prev = m_tail;
        if (m_tail != nullptr) {
            m_tail->next = node;
        } else {
            m_head = node;
        }
        m_tail = node;
        ++m_count;
        return node->value;
    }

    T& GetAt(std::uint32_t index) { return NodeAt(index)->value; }
    const T& GetAt(std::uint32_t index) const {
        return const_cast<CqnDLList*>(this)->NodeAt(index)->value;
    }

    // The removed value stays readable until its node is reused.
    T& RemoveHead() {
        if (m_head == nullptr) {
            throw CqnExceptionObject(kItemNotFound, "CqnList", "Item not found");
        }
        return Unlink(m_head);
    }

    T& RemoveAt(std::uint32_t index) { return Unlink(NodeAt(index)); }

    std::uint32_t GetCount() const { return m_count; }
    std::uint32_t GetCapacity() const { return m_capacity; }
    std::uint32_t GetBlockSize() const { return m_blockSize; }
    void SetBlockSize(std::uint32_t blockSize) { m_blockSize = blockSize ? blockSize : 1; }

private:
    struct Node {
        Node* next;
        Node* prev;
        T value;
    };
    struct Block {
        Block* next;
        Node* nodes;
        std::uint32_t count;
    };

    Node* NodeAt(std::uint32_t index) {
        if (index >= m_count) {
            throw CqnExceptionObject(kIndexOutOfRange, "CqnList", "Index out of Range");
        }
        // Walk from the nearer end.
        Node* node;
        if (index < m_count / 2) {
            node = m_head;
            for (std::uint32_t i = 0; i < index; ++i)
                node = node->next;
        } else {
            node = m_tail;
            for (std::uint32_t i = m_count - 1; i > index; --i)
                node = node->prev;
        }
        return node;
    }

    T& Unlink(Node* node) {
        (node->prev ? node->prev->next : m_head) = node->next;
        (node->next ? node->next->prev : m_tail) = node->prev;
        --m_count;
        node->next = nullptr;
        node->prev = m_freeTail;
        if (m_freeTail != nullptr) {
            m_freeTail->next = node;
        } else {
            m_freeHead = node;
        }
        m_freeTail = node;
        return node->value;
    }

    Node* TakeFreeNode() {
        if (m_freeHead == nullptr) {
            Grow();
        }
        if (m_freeHead == nullptr) {
            throw CqnExceptionObject(kNoEmptyElements, "CqnList", "No empty elements available");
        }
        Node* node = m_freeHead;
        m_freeHead = node->next;
        if (m_freeHead != nullptr) {
            m_freeHead->prev = nullptr;
        } else {
            m_freeTail = nullptr;
        }
        return node;
    }

    void Grow() {
        Block* block = new (std::nothrow) Block{nullptr, nullptr, m_blockSize};
        Node* nodes = block ? new (std::nothrow) Node[m_blockSize]() : nullptr;
        if (nodes == nullptr) {
            delete block;
            throw CqnExceptionObject(kGeneralError, "CqnList", "General Error");
        }
        block->nodes = nodes;
        Block** link = &m_blocks;
        while (*link != nullptr)
            link = &(*link)->next;
        *link = block;
        for (std::uint32_t i = 0; i < m_blockSize; ++i) {
            nodes[i].prev = m_freeTail;
            nodes[i].next = nullptr;
            if (m_freeTail != nullptr) {
                m_freeTail->next = &nodes[i];
            } else {
                m_freeHead = &nodes[i];
            }
            m_freeTail = &nodes[i];
        }
        m_capacity += m_blockSize;
    }

    std::uint32_t m_count = 0;
    std::uint32_t m_capacity = 0;
    std::uint32_t m_blockSize;
    Block* m_blocks = nullptr;
    Node* m_head = nullptr;
    Node* m_tail = nullptr;
    Node* m_freeHead = nullptr;
    Node* m_freeTail = nullptr;
};
