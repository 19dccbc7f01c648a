// The body of setupapi.dll and winusb.dll: empty, their .def files forward every export to ostrelbench.dll.
