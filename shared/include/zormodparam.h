// The request parameter block: one per request, built by the host from the
// key path, the value text and a starting reply size. Key and value are split
// at "/" once, at construction, so handlers address them by position.
#pragma once

#include "zor_error.h"

#include <cstddef>

class ZorModParam {
public:
    /// Builds the block; throws zor_enomem("ZorModParam::ZorModParam") when memory runs out.
    ZorModParam(const char* key, const char* value, int msgSize);
    virtual ~ZorModParam();

    /// 0: the whole key; 1..getNumKeyParts(): one part (null for an empty field); otherwise null.
    char* getKey(int i);
    /// The same over the value.
    char* getValue(int i);
    int getNumKeyParts();
    int getNumValueParts();

    /// Appends raw bytes (no terminator) and sets msgID.
    void appendData(const void* data, int len, int id);
    void appendData(const void* data, int len);
    /// Appends text so that the reply stays one zero-terminated text.
    void appendMessage(const char* text, int id);
    void appendMessage(const char* text);
    /// Replaces the reply with text.
    void setMessage(const char* text, int id);
    /// Ensures a capacity of at least size bytes; never shrinks.
    void setMessageSize(int size);
    /// Appends in place: makes room for len bytes after the reply (growing as
    /// appendData would), lets fill(destination, len) write up to len bytes
    /// there and keeps the count it returns; a count of zero or less appends
    /// nothing. Returns that count. A handler that streams a file reads it
    /// straight into the reply this way, without a copy through a buffer of
    /// its own. msgID is left as it is, as with appendData(data, len).
    template <class Fill>
    long appendFrom(int len, Fill fill)
    {
        if (len <= 0) {
            return 0;
        }
        const long got = static_cast<long>(fill(reserveTail(len), len));
        if (got > 0) {
            msgUsed += got < len ? static_cast<int>(got) : len;
        }
        return got;
    }

    /// Reading side for the host: the reply bytes and their used length.
    const char* getMessage(int* length);
    int getMessageID();

private:
    ZorModParam(const ZorModParam&);
    ZorModParam& operator=(const ZorModParam&);
    /// Frees everything the block owns; shared by the destructor and a failed constructor.
    void release();
    /// Grows the reply so that len more bytes fit and returns where they go;
    /// throws zor_enomem("ZorModParam") and leaves the reply as it was when
    /// memory runs out.
    char* reserveTail(int len);
    /// Moves the reply into a block of at least size bytes; throws
    /// zor_enomem(where) and leaves the reply as it was when memory runs out.
    void replace(size_t size, const char* where);

    char* key;
    char** keyParts;
    int numKeyParts;
    char* value;
    char** valueParts;
    int numValueParts;
    char* msg;
    int msgSize;
    int msgUsed;
    unsigned int msgAllocSize;
    int msgID;
};

/// Splits text at "/" into owned parts (empty fields stay as null slots).
/// Throws zor_enomem with an empty message when memory runs out.
char** parseString(const char* text, int len, int* count);
