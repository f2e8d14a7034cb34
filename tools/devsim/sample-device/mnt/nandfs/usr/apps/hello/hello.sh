#!/bin/sh
echo "Hello from the device"
