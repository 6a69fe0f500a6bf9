#pragma once

// The current values of one input module instance (its acquisition block),
// read by the processes through 1-based indexes. The values belong to the
// module; the store only points at them.
class CAcqStore
{
public:
    explicit CAcqStore(int block)
        : m_block(block)
    {
    }

    int block() const { return m_block; }
    // `values` may be null: no values.
    void set(int length, const int *values)
    {
        m_length = values ? length : 0;
        m_values = values;
    }
    // The value at 1-based `index`, or -1 (unknown).
    int value(int index) const
    {
        return m_values && index >= 1 && index <= m_length ? m_values[index - 1] : -1;
    }
    int length() const { return m_length; }

private:
    int m_block;
    int m_length = 0;
    const int *m_values = nullptr;
};
