"""A PyVISA backend over Ostrel: pyvisa.ResourceManager("@ostrel") reaches Ostrel's instruments as USB INSTR
resources. The library is found as ostrel.load() finds it ("<path>@ostrel" names one)."""
from .highlevel import OstrelVisaLibrary

#: What PyVISA looks for in a backend's module.
WRAPPER_CLASS = OstrelVisaLibrary

__all__ = ["OstrelVisaLibrary", "WRAPPER_CLASS"]
