"""Small stand-ins and document builders shared by several test files."""


class FakeTime:
    """Wall clock (the module's `time`) that moves by a quarter second per reading."""

    def __init__(self):
        self.readings = 0

    def time(self):
        self.readings += 1
        return self.readings * 0.25


def entry(number, regions):
    """A behaviour entry with a complete alarm description and a stale alarm text."""
    return {
        "behavior_number": number,
        "result": regions,
        "alarm_info_dict": {"behavior_info": "B", "info_name": "N", "info_ftime": "T",
                            "info_type": "Y"},
        "alarm_info": "old",
    }
