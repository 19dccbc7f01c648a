# A program as test engineers write one: every instrument, each asked its
# identity and what examples/bench.json says it answers, some of it twice.
import ostrel

QUERIES = {
    "2936-R": ["MEAS:VOLT?", "MEAS:CURR?", "MEAS:VOLT?"],
    "2940-T": ["MEAS:TEMP?", "CONF:UNIT?", "CONF:UNIT FAR", "CONF:UNIT?", "SYST:ERR?"],
    "2955-L": ["OUTP:STAT?", "READ:RAW?"],
}

for info in ostrel.discover():
    print(info.device_id, info.key, info.model, info.serial, info.identity)
    with ostrel.open(info.key) as instrument:
        print("  *IDN? ->", instrument.query("*IDN?"))
        for command in QUERIES[info.key.split()[0]]:
            if command.endswith("?") and command != "READ:RAW?":
                print(" ", command, "->", instrument.query(command))
            elif command == "READ:RAW?":
                instrument.write(command)
                print(" ", command, "->", instrument.read_binary(7).hex())
            else:
                instrument.write(command)
                print(" ", command)
        block = bytes([0, 13, 10, 255, 0]) * 3
        if instrument.key.startswith("2955"):
            instrument.write_binary(block)
            print("  echo ->", instrument.read_binary(len(block)).hex())
