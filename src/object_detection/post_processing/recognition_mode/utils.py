"""Stand-in box/measurement conversions."""


def box2meas(box):
    return list(box)


def state2box(state):
    return list(state)
