// The connection to the human-presence sensor through the Windows Sensor API:
// finds the sensor of manufacturer "Ostrel Works" among the sensors of
// category SENSOR_CATEGORY_OTHER, reads its state and (un)registers the event
// sink. Every operation logs its failures and answers 0 or -1; none raises.
#pragma once

#include "com_ptr.h"

#include <windows.h>
#include <objbase.h>
#include <sensorsapi.h>

namespace ostrel {

struct sensor_connection {
  sensor_connection() = default;
  ~sensor_connection();
  sensor_connection(const sensor_connection&) = delete;
  sensor_connection& operator=(const sensor_connection&) = delete;

  com_initialization com;  // first in, last out: COM outlives the pointers
  com_ptr<ISensorManager> manager;
  com_ptr<ISensorCollection> collection;
  com_ptr<ISensor> sensor;  // the chosen sensor
};

// Initialises COM (multithreaded), creates the sensor manager and chooses the
// sensor. An open connection is closed first.
int openSensor(sensor_connection& connection);
// The first sensor of `collection` whose manufacturer is exactly L"Ostrel Works".
int findOstrelSensorInCollection(sensor_connection& connection, ISensorCollection* collection,
                                 com_ptr<ISensor>& sensor);
// `state` comes in as the caller's default and goes out as the sensor's state,
// the HID state of custom value 1 taking precedence over the API's.
int getSensorState(sensor_connection& connection, SensorState& state);
int setEventCallbacks(sensor_connection& connection, ISensorEvents* sink);
int removeEventCallbacks(sensor_connection& connection);
// Releases the sensor, the collection and the manager, then balances COM.
// Must run on the thread that opened the connection.
void closeSensor(sensor_connection& connection);

}  // namespace ostrel
