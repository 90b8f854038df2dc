// Error classes of the frame. zor_enomem is what out of memory looks like
// anywhere in the request path; it travels to the host unchanged.
#pragma once

class zor_error {
public:
    zor_error();
    explicit zor_error(const char* m);
    zor_error(const zor_error& other);
    virtual ~zor_error();
    /// The message (may be null); the error keeps ownership.
    const char* getMsg() const;

protected:
    char* msg;

private:
    zor_error& operator=(const zor_error&);
};

class zor_enomem : public zor_error {
public:
    explicit zor_enomem(const char* m);
    zor_enomem(const zor_enomem& other);
    ~zor_enomem() override;
};
