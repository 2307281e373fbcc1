// The functions of each byte-stream kind, for the table in byte_stream.cpp
// alone: a tty's in serial_port.cpp, the remote kinds' in remote_stream.cpp.
#pragma once
#include "platform/serial_port.h"

bool tty_open(SerialPort *port, const char *list_name, const PortSettings &settings, const StreamWait &wait);
void tty_close(SerialPort *port);
int tty_read(SerialPort *port, uint8_t *buffer, int size);
int tty_write(SerialPort *port, const uint8_t *data, int length);
bool tty_apply(SerialPort *port, const PortSettings &settings);
int tty_output_queued(const SerialPort *port);
int tty_input_queued(const SerialPort *port);
bool tty_settle(SerialPort *port, const StreamWait &wait);

bool remote_open(SerialPort *port, const char *list_name, const PortSettings &settings, const StreamWait &wait);
void remote_close(SerialPort *port);
int remote_read(SerialPort *port, uint8_t *buffer, int size);
int remote_write(SerialPort *port, const uint8_t *data, int length);
bool remote_apply(SerialPort *port, const PortSettings &settings);
int remote_output_queued(const SerialPort *port);
int remote_input_queued(const SerialPort *port);
bool remote_settle(SerialPort *port, const StreamWait &wait);
