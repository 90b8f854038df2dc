// Schedules of a monitor entry: when its variable is sampled. The classes only
// hold and validate data; the component that runs schedules reads them through
// the accessors. The type code (isA) alone tells the concrete class, so the
// XML writer can switch on it without a dynamic cast.
#pragma once

/// Kind of schedule, as stored in Frequency::_type.
enum FreqType { asynchronous = 0, seconds = 1, daily = 2, weekly = 3, noFreq = 4 };

enum DayOfWeek { sun = 0, mon = 1, tue = 2, wed = 3, thu = 4, fri = 5, sat = 6 };

/// A time of day with range-checked hour and minutes.
class TimeOfDay {
public:
    unsigned int getHour() const { return _hour; }
    unsigned int getMinutes() const { return _min; }
    /// Throws MonitoringException "hour is greater than 23"; the old hour stays.
    void setHour(unsigned int hour);
    /// Throws MonitoringException "minutes are greater than 59"; the old minutes stay.
    void setMinutes(unsigned int minutes);
    void print() const;

    unsigned int _hour = 0;
    unsigned int _min = 0;
};

/// Base of all schedules. A bare Frequency is of kind noFreq; nothing in the
/// system creates one, but it answers clone and print harmlessly.
class Frequency {
public:
    Frequency() = default;
    virtual ~Frequency() = default;
    /// A new copy of the same class, owned by the caller; deep and shallow copies are alike.
    virtual Frequency* clone(bool deep) const;
    /// Diagnostic dump to standard output.
    virtual void print() const;
    FreqType isA() const { return _type; }

protected:
    explicit Frequency(FreqType type) : _type(type) {}
    Frequency(const Frequency&) = default;
    Frequency& operator=(const Frequency&) = default;

    FreqType _type = noFreq;
};

/// Sampled whenever the variable reports; no timing of its own.
class Asynchronous : public Frequency {
public:
    Asynchronous() : Frequency(asynchronous) {}
    Frequency* clone(bool deep) const override;
    void print() const override;
};

/// Sampled every N seconds.
class Seconds : public Frequency {
public:
    Seconds() : Frequency(seconds) {}
    Frequency* clone(bool deep) const override;
    void print() const override;
    unsigned int getSeconds() const { return _seconds; }
    void setSeconds(unsigned int secs) { _seconds = secs; }

private:
    unsigned int _seconds = 0;
};

/// Sampled once a day (every N days) at a time of day.
class Daily : public Frequency {
public:
    Daily() : Frequency(daily) {}
    Frequency* clone(bool deep) const override;
    void print() const override;
    TimeOfDay getTimeOfDay() const { return _timeOfDay; }
    void setTimeOfDay(TimeOfDay timeOfDay) { _timeOfDay = timeOfDay; }
    int getEvery() const { return _every; }
    void setEvery(int every) { _every = every; }

private:
    TimeOfDay _timeOfDay;
    int _every = 1;
};

/// Sampled once a week (every N weeks) on a day of the week at a time of day.
class Weekly : public Frequency {
public:
    Weekly() : Frequency(weekly) {}
    Frequency* clone(bool deep) const override;
    void print() const override;
    DayOfWeek getDayOfWeek() const { return _dayOfWeek; }
    void setDayOfWeek(DayOfWeek dayOfWeek) { _dayOfWeek = dayOfWeek; }
    TimeOfDay getTimeOfDay() const { return _timeOfDay; }
    void setTimeOfDay(TimeOfDay timeOfDay) { _timeOfDay = timeOfDay; }
    int getEvery() const { return _every; }
    void setEvery(int every) { _every = every; }

private:
    DayOfWeek _dayOfWeek = sun;
    TimeOfDay _timeOfDay;
    int _every = 1;
};
