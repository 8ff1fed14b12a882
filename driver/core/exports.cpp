// C exports of the driver library (being written).
