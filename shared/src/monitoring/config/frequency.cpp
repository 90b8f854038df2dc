#include "frequency.h"

#include "monitoringexception.h"

#include <cstdio>
#include <iostream>

void TimeOfDay::setHour(unsigned int hour)
{
    if (hour > 23) {
        throw MonitoringException(std::string("hour is greater than 23"));
    }
    _hour = hour;
}

void TimeOfDay::setMinutes(unsigned int minutes)
{
    if (minutes > 59) {
        throw MonitoringException(std::string("minutes are greater than 59"));
    }
    _min = minutes;
}

void TimeOfDay::print() const
{
    // Formatted printf-style so that minutes always show two digits (7:05);
    // flushed around it so the line lands in order with the stream output.
    std::cout.flush();
    std::printf("time of day: %u:%02u\n", _hour, _min);
    std::fflush(stdout);
}

Frequency* Frequency::clone(bool /*deep*/) const
{
    std::cout << "called Frequency clone" << std::endl;
    return nullptr;
}

void Frequency::print() const { std::cout << "called Frequency print" << std::endl; }

Frequency* Asynchronous::clone(bool /*deep*/) const { return new Asynchronous(*this); }

void Asynchronous::print() const { std::cout << "asynchronous" << std::endl; }

Frequency* Seconds::clone(bool /*deep*/) const { return new Seconds(*this); }

void Seconds::print() const { std::cout << " seconds: " << _seconds << std::endl; }

Frequency* Daily::clone(bool /*deep*/) const { return new Daily(*this); }

void Daily::print() const
{
    _timeOfDay.print();
    std::cout << "every: " << _every << std::endl;
}

Frequency* Weekly::clone(bool /*deep*/) const { return new Weekly(*this); }

void Weekly::print() const
{
    _timeOfDay.print();
    std::cout << "every: " << _every << std::endl;
    std::cout << "day of week: " << static_cast<int>(_dayOfWeek) << std::endl;
}
